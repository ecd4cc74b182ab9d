#include "retry_table.h"

#include <algorithm>
#include <cmath>

namespace trellisant {
namespace {

constexpr int kAttemptCap = 6;
constexpr double kMaximumDelay = 300;

}  // namespace

RetryTable::RetryTable(std::function<Date()> now, std::function<double()> jitter)
    : now_(std::move(now)), jitter_(std::move(jitter)) {}

bool RetryTable::waiting(const std::string& delivery) const {
  auto entry = entries_.find(delivery);
  return entry != entries_.end() && entry->second.next > now_();
}

double RetryTable::failed(const std::string& delivery) {
  auto previous = entries_.find(delivery);
  int attempt =
      std::min((previous != entries_.end() ? previous->second.attempt : 0) + 1, kAttemptCap);
  double delay = std::min(5.0 * std::pow(2.0, attempt), kMaximumDelay) + jitter_();
  auto wait = std::chrono::duration_cast<SystemClock::duration>(Seconds(delay));
  entries_[delivery] = RetryEntry{attempt, now_() + wait};
  return delay;
}

}  // namespace trellisant

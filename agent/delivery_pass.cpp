#include "delivery_pass.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>

#include "download/free_space.h"
#include "settings/preferences.h"
#include "text.h"

namespace trellisant {
namespace {

constexpr int kBatchSize = 2;
constexpr int kAttemptCap = 6;
constexpr double kMaximumDelay = 300;
constexpr std::size_t kLongestReason = 240;
constexpr int kTicksPerLease = 5;

std::string path(const Delivery& delivery, const char* leaf) {
  return "deliveries/" + delivery.id + "/" + leaf;
}

void lease(API& api, const Delivery& delivery, std::stop_token stop) {
  api.request<API::Lease>(path(delivery, "lease"), "POST", Json::object(), stop);
}

// The first failure of a batch, and the stop that goes out to its other members.
class BatchOutcome {
 public:
  void fail(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
    members_.request_stop();
    ticker_.request_stop();
  }
  void succeeded(int needed) {
    if (++done_ == needed) ticker_.request_stop();
  }
  std::exception_ptr error() {
    std::lock_guard lock(mutex_);
    return error_;
  }
  std::stop_source& members() { return members_; }
  std::stop_source& ticker() { return ticker_; }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
  std::atomic<int> done_{0};
  std::stop_source members_;
  std::stop_source ticker_;
};

}  // namespace

DeliveryPass::DeliveryPass(Context context, std::stop_token stop)
    : context_(context), stop_(std::move(stop)) {
  journal_ = std::make_shared<Journal>(Journal::file());
  downloader_ = context_.parts.makeDownloader(context_.api, journal_);
}

void DeliveryPass::run(const std::vector<Delivery>& deliveries) {
  for (const Delivery& delivery : deliveries) {
    throwIfStopped(stop_);
    auto entry = context_.retries.find(delivery.id);
    if (entry != context_.retries.end() && entry->second.next > context_.parts.now()) continue;
    try {
      receive(delivery);
    } catch (...) {
      if (stop_.stop_requested()) throw;
      fail(delivery, std::current_exception());
    }
    context_.parts.power->update(Preferences::load(), false);
  }
}

void DeliveryPass::checkFreeSpace(const Delivery& delivery) {
  std::int64_t available = context_.parts.freeSpace(context_.root).value_or(0);
  std::int64_t total = parseInt64(delivery.totalBytes).value_or(0);
  // The server's total may be anything a 64-bit number holds; a sum past the largest one
  // needs more than any disk has.
  std::int64_t remaining = 0, needed = 0;
  if (__builtin_sub_overflow(total, journal_->bytes(delivery.id), &remaining))
    remaining = total < 0 ? 0 : std::numeric_limits<std::int64_t>::max();
  remaining = std::max<std::int64_t>(0, remaining);
  if (__builtin_add_overflow(remaining, freeSpaceReserve(remaining), &needed) || available < needed)
    throw TrellisantError("Free up space on your download disk before this transfer starts.");
}

void DeliveryPass::receive(const Delivery& delivery) {
  API& api = *context_.api;
  lease(api, delivery, stop_);
  std::vector<ManifestFile> files = api.files(delivery, stop_);
  checkFreeSpace(delivery);
  context_.parts.power->update(context_.preferences, true);
  for (std::size_t first = 0; first < files.size(); first += kBatchSize) {
    std::size_t last = std::min(files.size(), first + kBatchSize);
    lease(api, delivery, stop_);
    runBatch(delivery, std::vector<ManifestFile>(files.begin() + first, files.begin() + last));
  }
  context_.retries.erase(delivery.id);
  Agent::publish("completed", "Your footage is ready.", &delivery,
                 parseInt64(delivery.totalBytes).value_or(0));
  context_.parts.notifier->post(delivery.id, "Footage is ready", delivery.name);
}

void DeliveryPass::runBatch(const Delivery& delivery, const std::vector<ManifestFile>& files) {
  BatchOutcome outcome;
  std::stop_callback agentStopping(stop_, [&] {
    outcome.members().request_stop();
    outcome.ticker().request_stop();
  });
  // Two concurrent files share the user's limit; 0 (no limit) stays 0.
  double bandwidth = context_.preferences.bandwidthMbps / static_cast<double>(files.size());
  int needed = static_cast<int>(files.size());
  {
    std::vector<std::jthread> members;
    for (const ManifestFile& file : files) {
      members.emplace_back([&, file] {
        try {
          downloader_->download(delivery, file, context_.root, bandwidth,
                                outcome.members().get_token());
          outcome.succeeded(needed);
        } catch (...) {
          outcome.fail(std::current_exception());
        }
      });
    }
    members.emplace_back([&] {
      try {
        tick(delivery, outcome.ticker().get_token());
      } catch (...) {
        // The ticker ends by being stopped once the files are in; only a real failure counts.
        if (!outcome.ticker().stop_requested()) outcome.fail(std::current_exception());
      }
    });
  }  // every member has finished here
  throwIfStopped(stop_);
  if (auto error = outcome.error()) std::rethrow_exception(error);
}

void DeliveryPass::tick(const Delivery& delivery, std::stop_token stop) {
  API& api = *context_.api;
  for (int count = 1;; ++count) {
    if (!sleepFor(context_.timing.tick, stop)) return;
    Preferences current = Preferences::load();
    if (!current.receiving || (!context_.parts.power->onPower() && !current.allowBattery))
      throw TrellisantError("Receiving paused. Your downloaded footage is saved.");
    if (count % kTicksPerLease == 0) lease(api, delivery, stop);
    std::int64_t bytes = journal_->bytes(delivery.id);
    Agent::publish("downloading", "Downloading original footage", &delivery, bytes);
    Json progress = {{"state", "downloading"}, {"bytesDone", std::to_string(bytes)}};
    api.request<API::OK>(path(delivery, "progress"), "POST", progress, stop);
    Json beat = {{"readiness", "ready"}, {"destinationLabel", context_.preferences.destinationLabel}};
    api.request<API::OK>("heartbeat", "POST", beat, stop);
  }
}

void DeliveryPass::fail(const Delivery& delivery, const std::exception_ptr& error) {
  auto previous = context_.retries.find(delivery.id);
  int attempt = std::min((previous != context_.retries.end() ? previous->second.attempt : 0) + 1,
                         kAttemptCap);
  double delay = std::min(5.0 * std::pow(2.0, attempt), kMaximumDelay) + context_.parts.jitter();
  context_.retries[delivery.id] = RetryEntry{
      attempt, context_.parts.now() + std::chrono::duration_cast<SystemClock::duration>(Seconds(delay))};

  std::string reason = prefixCharacters(userMessage(error), kLongestReason);
  std::int64_t bytes = journal_->bytes(delivery.id);
  Agent::publish("needs_attention", reason, &delivery, bytes);
  try {
    Json waiting = {{"state", "waiting"}, {"bytesDone", std::to_string(bytes)}, {"reason", reason}};
    context_.api->request(path(delivery, "progress"), "POST", waiting, stop_);
  } catch (...) {
    // The waiting report is best effort.
  }
}

}  // namespace trellisant

#pragma once

#include <functional>
#include <map>
#include <string>

#include "clock.h"

namespace trellisant {

struct RetryEntry {
  int attempt = 0;
  Date next;
};

// The per-delivery back-off: a delivery that failed is not attempted again before its time.
// Kept for the life of the agent, never on disk.
class RetryTable {
 public:
  // `now` is the wall clock the times are kept in; `jitter` gives seconds added to each delay.
  RetryTable(std::function<Date()> now, std::function<double()> jitter);

  // Whether the delivery is still within its back-off.
  bool waiting(const std::string& delivery) const;
  // Puts the delivery into a longer back-off; returns its delay in seconds.
  double failed(const std::string& delivery);
  void completed(const std::string& delivery) { entries_.erase(delivery); }

  const std::map<std::string, RetryEntry>& entries() const { return entries_; }

 private:
  std::function<Date()> now_;
  std::function<double()> jitter_;
  std::map<std::string, RetryEntry> entries_;
};

}  // namespace trellisant

#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "clock.h"
#include "control/agent_status.h"

namespace trellisant {

// How fast the current delivery arrives and when it will be done.
struct RateEstimate {
  std::optional<double> bytesPerSecond;  // nothing while unknown; 0 when stalled
  std::optional<double> secondsLeft;     // nothing while unknown or stalled
  bool stalled = false;
};

// Estimates the rate of a download from the successive status records a reader sees (bytes over
// updatedAt). The rate spans at least `smoothing` once the records do, so that one slow tick
// does not swing it; a delivery whose bytes have not moved for `stalledAfter` is stalled.
class RateEstimator {
 public:
  static constexpr std::chrono::seconds smoothing{15};
  static constexpr std::chrono::seconds stalledAfter{30};

  // Takes the next record read; returns the estimate that follows. Anything but "downloading",
  // another delivery, fewer bytes or an earlier time starts afresh; a record read again changes
  // nothing.
  const RateEstimate& add(const AgentStatus& status);
  const RateEstimate& estimate() const { return estimate_; }
  // Whether the records seen of this download span `smoothing`.
  bool smoothed() const {
    return samples_.size() > 1 && samples_.back().at - samples_.front().at >= smoothing;
  }

 private:
  struct Sample {
    Date at;
    std::int64_t bytes;
  };
  void restart(const AgentStatus& status);

  std::string transfer_;
  std::int64_t total_ = 0;
  std::deque<Sample> samples_;
  Date movedAt_;
  RateEstimate estimate_;
};

// "24.1 MB/s" (kB/s, MB/s, GB/s as sizeText writes sizes).
std::string rateText(double bytesPerSecond);
// "about 6 s left", "about 4 min left", "about 2 h 5 min left".
std::string timeLeftText(double seconds);
// What readers show beside the progress while a rate is known: "24.1 MB/s · about 6 s left",
// "stalled"; otherwise "".
std::string rateSummary(const RateEstimate& estimate);

}  // namespace trellisant

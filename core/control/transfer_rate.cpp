#include "control/transfer_rate.h"

#include <cmath>

#include "text.h"

namespace trellisant {

void RateEstimator::restart(const AgentStatus& status) {
  transfer_ = status.transfer;
  total_ = status.total;
  samples_.assign({{status.updatedAt, status.bytes}});
  movedAt_ = status.updatedAt;
  estimate_ = {};
}

const RateEstimate& RateEstimator::add(const AgentStatus& status) {
  if (!status.is(AgentState::downloading)) {
    samples_.clear();
    estimate_ = {};
    return estimate_;
  }
  const Date at = status.updatedAt;
  if (samples_.empty() || status.transfer != transfer_ || status.total != total_ ||
      status.bytes < samples_.back().bytes || at < samples_.back().at) {
    restart(status);
    return estimate_;
  }
  if (at == samples_.back().at) return estimate_;
  if (status.bytes != samples_.back().bytes) movedAt_ = at;
  samples_.push_back({at, status.bytes});
  // Kept: what the stall needs; the rate's start is the newest sample at least `smoothing` old,
  // or further back when the bytes have not moved since (they move in checkpoints).
  while (samples_.size() > 2 && samples_[1].at <= at - stalledAfter) samples_.pop_front();
  const Sample* start = &samples_.front();
  for (const Sample& sample : samples_)
    if (sample.at <= at - smoothing && sample.bytes != status.bytes) start = &sample;
  estimate_ = {};
  estimate_.stalled = at - movedAt_ >= stalledAfter;
  const double moved = static_cast<double>(status.bytes - start->bytes);
  if (estimate_.stalled) {
    estimate_.bytesPerSecond = 0;
  } else if (moved > 0) {
    estimate_.bytesPerSecond = moved / Seconds(at - start->at).count();
    if (status.total > 0)
      estimate_.secondsLeft =
          static_cast<double>(std::max<std::int64_t>(0, status.total - status.bytes)) /
          *estimate_.bytesPerSecond;
  }
  return estimate_;
}

std::string rateText(double bytesPerSecond) { return sizeText(std::llround(bytesPerSecond)) + "/s"; }

std::string timeLeftText(double seconds) {
  const long long whole = std::max(1LL, std::llround(seconds));
  if (whole < 60) return "about " + std::to_string(whole) + " s left";
  const long long minutes = std::llround(seconds / 60);
  if (minutes < 60) return "about " + std::to_string(minutes) + " min left";
  const long long hours = minutes / 60, rest = minutes % 60;
  return "about " + std::to_string(hours) + " h" +
         (rest > 0 ? " " + std::to_string(rest) + " min" : "") + " left";
}

std::string rateSummary(const RateEstimate& estimate) {
  if (estimate.stalled) return "stalled";
  if (!estimate.bytesPerSecond) return "";
  std::string text = rateText(*estimate.bytesPerSecond);
  if (estimate.secondsLeft) text += " · " + timeLeftText(*estimate.secondsLeft);
  return text;
}

}  // namespace trellisant

#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

#include "error.h"

namespace trellisant {

using SystemClock = std::chrono::system_clock;
using Date = SystemClock::time_point;
using Seconds = std::chrono::duration<double>;

// Sleeps on the monotonic clock; a stop request ends the wait at once.
// Returns false when stopped before the time was up.
inline bool sleepFor(std::chrono::steady_clock::duration duration, std::stop_token stop) {
  if (duration <= std::chrono::steady_clock::duration::zero()) return !stop.stop_requested();
  std::mutex mutex;
  std::condition_variable_any wake;
  std::unique_lock lock(mutex);
  wake.wait_for(lock, stop, duration, [] { return false; });
  return !stop.stop_requested();
}

// As sleepFor, but a stop is a Cancelled failure.
inline void sleepOrCancel(std::chrono::steady_clock::duration duration, std::stop_token stop) {
  if (!sleepFor(duration, stop)) throw Cancelled();
}

inline void throwIfStopped(const std::stop_token& stop) {
  if (stop.stop_requested()) throw Cancelled();
}

// Dates in the system's JSON are seconds since 2001-01-01 00:00:00 UTC.
inline constexpr double kUnixSecondsAt2001 = 978307200.0;

inline double secondsSince2001(Date date) {
  return std::chrono::duration<double>(date.time_since_epoch()).count() - kUnixSecondsAt2001;
}

inline Date dateFromSecondsSince2001(double seconds) {
  return Date(std::chrono::duration_cast<SystemClock::duration>(
      std::chrono::duration<double>(seconds + kUnixSecondsAt2001)));
}

}  // namespace trellisant

#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace trellisant::faults {

// The fault driver's own options, after the GoogleTest flags and the world's programs.
struct FaultOptions {
  int kills = 5;                     // --kills N: SIGKILLs of the crash scenario
  int cuts = 6;                      // --cuts N: power cuts of each power-loss scenario
  std::filesystem::path report;      // --report FILE: one JSON line per scenario appended
  std::filesystem::path probe;       // --probe PATH: the status probe that stands in for the app
  std::uint64_t seed = 0;            // --seed N: random moments (0: a fresh seed)
  bool thorough = false;             // --thorough: the longer phases bench/faults runs
};
FaultOptions& faultOptions();

// The outcome of one scenario: printed as one line when the scenario ends, and appended to the
// report file as JSON for bench/faults to add up. It passes when the test recorded no failure.
class Scenario {
 public:
  explicit Scenario(std::string name);
  ~Scenario();
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  // A fault was injected; `survived` once its outcome was checked (the right message, nothing
  // written where it must not be, the agent still serving).
  void injected(int count = 1) { injected_ += count; }
  void survived(int count = 1) { survived_ += count; }
  // Bytes of the source that never arrived intact.
  void lost(std::int64_t bytes) { lost_ += bytes; }
  // Files the server was told of that were not at their final names afterwards.
  void missing(int files) { missing_ += files; }
  void detail(std::string text) { details_.push_back(std::move(text)); }

 private:
  std::string name_;
  int injected_ = 0;
  int survived_ = 0;
  std::int64_t lost_ = 0;
  int missing_ = 0;
  std::vector<std::string> details_;
  std::chrono::steady_clock::time_point began_;
};

}  // namespace trellisant::faults

#include "fault_report.h"

#include <gtest/gtest.h>

#include <cmath>
#include <exception>
#include <fstream>
#include <iostream>

#include "json.h"

namespace trellisant::faults {

FaultOptions& faultOptions() {
  static FaultOptions options;
  return options;
}

Scenario::Scenario(std::string name)
    : name_(std::move(name)), began_(std::chrono::steady_clock::now()) {}

Scenario::~Scenario() {
  const bool passed = !::testing::Test::HasFailure() && std::uncaught_exceptions() == 0;
  const auto seconds = std::lround(
      std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count());
  std::string joined;
  for (const auto& detail : details_) joined += (joined.empty() ? "" : "; ") + detail;
  std::cout << (passed ? "PASS " : "FAIL ") << name_ << " (" << seconds << " s): " << injected_
            << " faults injected, " << survived_ << " survived, " << lost_ << " bytes lost"
            << (joined.empty() ? "" : "; " + joined) << std::endl;
  if (faultOptions().report.empty()) return;
  Json line = {{"scenario", name_},   {"passed", passed},     {"seconds", seconds},
               {"injected", injected_}, {"survived", survived_}, {"bytesLost", lost_},
               {"reportedMissing", missing_}, {"details", details_}};
  std::ofstream out(faultOptions().report, std::ios::app);
  out << line.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
}

}  // namespace trellisant::faults

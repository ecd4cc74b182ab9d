// The fault driver: runs inside scripts/world, drives the real programs and makes things go
// wrong around them. After the GoogleTest flags: --sandbox PATH --agent PATH --ctl PATH
// --probe PATH, and optionally --kills N, --cuts N, --seed N, --report FILE and --thorough.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "fault_report.h"
#include "world_driver.h"

namespace {

bool number(const std::string& text, std::uint64_t& into) {
  try {
    std::size_t used = 0;
    into = std::stoull(text, &used);
    return used == text.size();
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto& programs = trellisant::e2e::programs();
  auto& options = trellisant::faults::faultOptions();
  for (int i = 1; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--thorough") {
      options.thorough = true;
      continue;
    }
    if (i + 1 >= argc) {
      std::cerr << option << " needs a value\n";
      return 2;
    }
    std::string value = argv[++i];
    std::uint64_t count = 0;
    if (option == "--sandbox") {
      programs.sandbox = value;
    } else if (option == "--agent") {
      programs.agent = value;
    } else if (option == "--ctl") {
      programs.ctl = value;
    } else if (option == "--probe") {
      options.probe = value;
    } else if (option == "--report") {
      options.report = value;
    } else if (option == "--kills" && number(value, count) && count > 0 && count < 1000) {
      options.kills = static_cast<int>(count);
    } else if (option == "--cuts" && number(value, count) && count > 0 && count < 1000) {
      options.cuts = static_cast<int>(count);
    } else if (option == "--seed" && number(value, count)) {
      options.seed = count;
    } else {
      std::cerr << "unknown option or value: " << option << " " << value << "\n";
      return 2;
    }
  }
  if (programs.sandbox.empty() || programs.agent.empty() || programs.ctl.empty() || options.probe.empty()) {
    std::cerr << "usage: scripts/world faults_tests [gtest flags] --sandbox PATH --agent PATH "
                 "--ctl PATH --probe PATH [--kills N] [--cuts N] [--seed N] [--report FILE] [--thorough]\n";
    return 2;
  }
  if (!std::getenv("TRELLISANT_WORLD")) {
    std::cerr << "The fault suite runs inside scripts/world only.\n";
    return 2;
  }
  return RUN_ALL_TESTS();
}

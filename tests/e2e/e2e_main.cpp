// The end-to-end driver: runs inside scripts/world and drives the real programs, whose
// paths it is given: --sandbox PATH --agent PATH --ctl PATH (after the GoogleTest flags).
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "world_driver.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  auto& programs = trellisant::e2e::programs();
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--sandbox") {
      programs.sandbox = argv[i + 1];
    } else if (option == "--agent") {
      programs.agent = argv[i + 1];
    } else if (option == "--ctl") {
      programs.ctl = argv[i + 1];
    } else {
      std::cerr << "unknown option " << option << "\n";
      return 2;
    }
  }
  if (programs.sandbox.empty() || programs.agent.empty() || programs.ctl.empty()) {
    std::cerr << "usage: scripts/world e2e_tests [gtest flags] --sandbox PATH --agent PATH --ctl PATH\n";
    return 2;
  }
  if (!std::getenv("TRELLISANT_WORLD")) {
    std::cerr << "The end-to-end tests run inside scripts/world only.\n";
    return 2;
  }
  return RUN_ALL_TESTS();
}

#pragma once

#include <string>
#include <vector>

namespace trellisant {

// Starts a program detached from this process (own session, standard streams on /dev/null,
// not our child once started). Searches PATH when argv[0] has no slash. Throws PlatformError
// when the program cannot be started.
void spawnDetached(const std::vector<std::string>& argv);

}  // namespace trellisant

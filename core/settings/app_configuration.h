#pragma once

#include <string>
#include <string_view>

namespace trellisant::AppConfiguration {

// The default server address, fixed at build time (CMake cache variable TRELLISANT_DEFAULT_SERVER).
std::string_view server();
// "0.1.2"
std::string_view version();
// What `PROGRAM --version` prints: "PROGRAM 0.1.2" and a line break.
std::string versionLine(std::string_view program);
// Whether the command line is just --version.
bool asksVersion(int argc, char** argv);

}  // namespace trellisant::AppConfiguration

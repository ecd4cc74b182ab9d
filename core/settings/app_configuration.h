#pragma once

#include <string_view>

namespace trellisant::AppConfiguration {

// The default server address, fixed at build time (CMake cache variable TRELLISANT_DEFAULT_SERVER).
std::string_view server();
// "0.1.2"
std::string_view version();

}  // namespace trellisant::AppConfiguration

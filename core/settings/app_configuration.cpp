#include "settings/app_configuration.h"

namespace trellisant::AppConfiguration {

std::string_view server() { return TRELLISANT_DEFAULT_SERVER; }
std::string_view version() { return TRELLISANT_VERSION; }

std::string versionLine(std::string_view program) {
  return std::string(program) + " " + std::string(version()) + "\n";
}

bool asksVersion(int argc, char** argv) { return argc == 2 && std::string_view(argv[1]) == "--version"; }

}  // namespace trellisant::AppConfiguration

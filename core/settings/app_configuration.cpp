#include "settings/app_configuration.h"

namespace trellisant::AppConfiguration {

std::string_view server() { return TRELLISANT_DEFAULT_SERVER; }
std::string_view version() { return TRELLISANT_VERSION; }

}  // namespace trellisant::AppConfiguration

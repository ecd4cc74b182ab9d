#include "error.h"

#include <cstring>
#include <system_error>

namespace trellisant {

PlatformError systemError(int error) {
  return PlatformError(std::generic_category().message(error));
}

std::string userMessage(const std::exception& error) {
  if (auto* own = dynamic_cast<const TrellisantError*>(&error)) return own->message();
  if (auto* system = dynamic_cast<const std::system_error*>(&error)) return system->code().message();
  return error.what();
}

std::string userMessage(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return userMessage(e);
  } catch (...) {
    return "An unknown error occurred.";
  }
}

}  // namespace trellisant

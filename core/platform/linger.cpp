#include "platform/linger.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdint>

#include "error.h"
#include "platform/bus.h"

namespace trellisant {

namespace logind = bus::logind;
Linger::Linger(std::optional<std::string> systemBus) : systemBus_(std::move(systemBus)) {}

std::optional<bool> Linger::enabled() const {
  bus::Bus connection = bus::open(systemBus_, true);
  if (!connection) return std::nullopt;
  // The user's object exists only while logind tracks the user (a session, or lingering).
  bus::Message user =
      bus::newCall(connection.get(), logind::service, logind::managerPath, logind::manager, "GetUser");
  if (!user || sd_bus_message_append(user.get(), "u", static_cast<std::uint32_t>(::getuid())) < 0)
    return std::nullopt;
  bus::Message found = bus::call(connection.get(), user.get());
  const char* path = nullptr;
  if (!found || sd_bus_message_read(found.get(), "o", &path) < 0) return std::nullopt;
  bus::Message get =
      bus::newCall(connection.get(), logind::service, path, "org.freedesktop.DBus.Properties", "Get");
  if (!get || sd_bus_message_append(get.get(), "ss", logind::user, "Linger") < 0)
    return std::nullopt;
  bus::Message reply = bus::call(connection.get(), get.get());
  int value = 0;
  if (!reply || sd_bus_message_read(reply.get(), "v", "b", &value) < 0) return std::nullopt;
  return value != 0;
}

void Linger::enable() const {
  bus::Bus connection = bus::open(systemBus_, true);
  if (!connection) throw PlatformError("The system bus is not available.");
  bus::Message set = bus::newCall(connection.get(), logind::service, logind::managerPath, logind::manager,
                                   "SetUserLinger");
  // uid, enable, interactive
  if (!set || sd_bus_message_append(set.get(), "ubb", static_cast<std::uint32_t>(::getuid()), 1, 0) < 0)
    throw PlatformError("Could not ask logind to keep receiving after logout.");
  std::string failure;
  if (bus::call(connection.get(), set.get(), &failure)) return;
  // Without a prompt, polkit lets few users turn it on for themselves; say who can.
  while (!failure.empty() && failure.back() == '.') failure.pop_back();
  const passwd* user = ::getpwuid(::getuid());
  throw PlatformError(failure + ". An administrator can turn it on with: sudo loginctl enable-linger " +
                      (user != nullptr ? std::string(user->pw_name) : std::to_string(::getuid())));
}

}  // namespace trellisant

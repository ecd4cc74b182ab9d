#include "platform/bus.h"

#include <cstring>

namespace trellisant::bus {

Bus open(const std::optional<std::string>& address, bool system) {
  sd_bus* bus = nullptr;
  const auto timeout = static_cast<std::uint64_t>(defaultTimeout.count());
  if (!address) {
    if ((system ? sd_bus_open_system(&bus) : sd_bus_open_user(&bus)) < 0) return nullptr;
    sd_bus_set_method_call_timeout(bus, timeout);
    return Bus(bus);
  }
  if (sd_bus_new(&bus) < 0) return nullptr;
  Bus owned(bus);
  if (sd_bus_set_address(bus, address->c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
      sd_bus_set_method_call_timeout(bus, timeout) < 0 ||
      sd_bus_negotiate_fds(bus, 1) < 0 || sd_bus_start(bus) < 0)
    return nullptr;
  return owned;
}

Message newCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const char* member) {
  sd_bus_message* message = nullptr;
  if (sd_bus_message_new_method_call(bus, &message, destination, path, interface, member) < 0)
    return nullptr;
  return Message(message);
}

Message call(sd_bus* bus, sd_bus_message* message, std::string* failure,
             std::chrono::microseconds timeout) {
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int result = sd_bus_call(bus, message, static_cast<std::uint64_t>(timeout.count()), &error, &reply);
  if (result < 0 && failure != nullptr)
    *failure = error.message != nullptr ? error.message : std::strerror(-result);
  sd_bus_error_free(&error);
  return result < 0 ? nullptr : Message(reply);
}

}  // namespace trellisant::bus

#include "agent_status/notifier.h"

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>

namespace trellisant {
namespace {

constexpr std::uint64_t kTimeoutMicroseconds = 10'000'000;
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

struct Connection {
  sd_bus* bus = nullptr;
  sd_bus_message* message = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  ~Connection() {
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(message);
    sd_bus_flush_close_unref(bus);
  }

  bool open(const std::optional<std::string>& address) {
    if (!address) return sd_bus_open_user(&bus) >= 0;
    return sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, address->c_str()) >= 0 &&
           sd_bus_set_bus_client(bus, 1) >= 0 && sd_bus_start(bus) >= 0;
  }

  bool prepare(const char* member) {
    return sd_bus_message_new_method_call(bus, &message, kService, kPath, kService, member) >= 0;
  }

  bool send() { return sd_bus_call(bus, message, kTimeoutMicroseconds, &error, &reply) >= 0; }
};

}  // namespace

DesktopNotifier::DesktopNotifier(std::optional<std::string> busAddress)
    : busAddress_(std::move(busAddress)) {}

void DesktopNotifier::post(const std::string&, const std::string& title,
                           const std::string& body) {
  Connection connection;
  if (!connection.open(busAddress_) || !connection.prepare("Notify")) return;
  sd_bus_message* m = connection.message;
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
  if (sd_bus_message_append(m, "susss", "Trellisant", std::uint32_t{0}, "trellisant",
                            title.c_str(), body.c_str()) < 0 ||
      sd_bus_message_append(m, "as", 0) < 0 || sd_bus_message_append(m, "a{sv}", 0) < 0 ||
      sd_bus_message_append(m, "i", std::int32_t{-1}) < 0)
    return;
  connection.send();  // a rejection is not the caller's concern
}

bool notificationServerAvailable(const std::optional<std::string>& busAddress) {
  Connection connection;
  return connection.open(busAddress) && connection.prepare("GetServerInformation") &&
         connection.send();
}

}  // namespace trellisant

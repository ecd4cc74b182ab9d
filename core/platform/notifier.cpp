#include "platform/notifier.h"

#include <cstdint>

#include "platform/bus.h"

namespace trellisant {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr std::chrono::seconds kTimeout{10};

bus::Message prepare(const bus::Bus& connection, const char* member) {
  return connection ? bus::newCall(connection.get(), kService, kPath, kService, member) : nullptr;
}

}  // namespace

DesktopNotifier::DesktopNotifier(std::optional<std::string> busAddress)
    : busAddress_(std::move(busAddress)) {}

void DesktopNotifier::post(const std::string&, const std::string& title,
                           const std::string& body) {
  bus::Bus connection = bus::open(busAddress_, false);
  bus::Message message = prepare(connection, "Notify");
  if (!message) return;
  sd_bus_message* m = message.get();
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
  if (sd_bus_message_append(m, "susss", "Trellisant", std::uint32_t{0}, "trellisant",
                            title.c_str(), body.c_str()) < 0 ||
      sd_bus_message_append(m, "as", 0) < 0 || sd_bus_message_append(m, "a{sv}", 0) < 0 ||
      sd_bus_message_append(m, "i", std::int32_t{-1}) < 0)
    return;
  bus::call(connection.get(), m, nullptr, kTimeout);  // a rejection is not the caller's concern
}

bool notificationServerAvailable(const std::optional<std::string>& busAddress) {
  bus::Bus connection = bus::open(busAddress, false);
  bus::Message message = prepare(connection, "GetServerInformation");
  return message && bus::call(connection.get(), message.get(), nullptr, kTimeout) != nullptr;
}

}  // namespace trellisant

#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

// The few sd-bus calls the platform layer makes, with owners that free what sd-bus hands out.
namespace trellisant::bus {

struct BusClose {
  void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusClose>;

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

struct SlotUnref {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using Slot = std::unique_ptr<sd_bus_slot, SlotUnref>;

// logind on the system bus: its name, its manager's object and interface, and a user's.
namespace logind {
inline constexpr const char* service = "org.freedesktop.login1";
inline constexpr const char* managerPath = "/org/freedesktop/login1";
inline constexpr const char* manager = "org.freedesktop.login1.Manager";
inline constexpr const char* user = "org.freedesktop.login1.User";
}  // namespace logind

inline constexpr std::chrono::microseconds defaultTimeout = std::chrono::seconds(5);

// The bus at `address` (a test's own), else the system or the session bus; nothing when none
// answers. Calls the bus makes itself (AddMatch, say) wait at most defaultTimeout.
Bus open(const std::optional<std::string>& address, bool system);

// A method call to fill with arguments; nothing when it cannot be made.
Message newCall(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const char* member);

// Sends the call and waits for the reply; nothing when the call failed, with the bus's
// description of the failure in `failure` when given.
Message call(sd_bus* bus, sd_bus_message* message, std::string* failure = nullptr,
             std::chrono::microseconds timeout = defaultTimeout);

}  // namespace trellisant::bus

#include "platform/notifier.h"

#include <cstring>

#include "platform/bus.h"
#include "platform/spawn.h"

namespace trellisant {
namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr std::chrono::seconds kTimeout{10};
// Clicks are waited for in slices this long, so that a stop is heard.
constexpr std::chrono::milliseconds kListenSlice{250};
// Notifications whose click is remembered; older ones are forgotten.
constexpr std::size_t kRemembered = 64;

bus::Message prepare(const bus::Bus& connection, const char* member) {
  return connection ? bus::newCall(connection.get(), kService, kPath, kService, member) : nullptr;
}

bool supportsActions(const bus::Bus& connection) {
  bus::Message message = prepare(connection, "GetCapabilities");
  bus::Message reply = message ? bus::call(connection.get(), message.get(), nullptr, kTimeout) : nullptr;
  if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "s") < 0) return false;
  const char* capability = nullptr;
  while (sd_bus_message_read(reply.get(), "s", &capability) > 0)
    if (std::strcmp(capability, "actions") == 0) return true;
  return false;
}

}  // namespace

struct NotifierSignals {
  static int actionInvoked(sd_bus_message* signal, void* notifier, sd_bus_error*) {
    std::uint32_t id = 0;
    const char* key = nullptr;
    if (sd_bus_message_read(signal, "us", &id, &key) >= 0)
      static_cast<DesktopNotifier*>(notifier)->invoked(id, std::strcmp(key, "default") == 0);
    return 0;
  }
  static int closed(sd_bus_message* signal, void* notifier, sd_bus_error*) {
    std::uint32_t id = 0;
    if (sd_bus_message_read(signal, "u", &id) >= 0)
      static_cast<DesktopNotifier*>(notifier)->invoked(id, false);
    return 0;
  }
};

DesktopNotifier::DesktopNotifier(std::optional<std::string> busAddress)
    : busAddress_(std::move(busAddress)) {}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::invoked(std::uint32_t id, bool run) {
  std::function<void()> action;
  {
    std::lock_guard lock(mutex_);
    auto found = actions_.find(id);
    if (found == actions_.end()) return;
    action = std::move(found->second);
    actions_.erase(found);
  }
  if (!run) return;
  try {
    action();
  } catch (...) {
    // A click that leads nowhere (no file manager) is the desktop's to show.
  }
}

void DesktopNotifier::listen(std::stop_token stop) {
  bus::Bus connection = bus::open(busAddress_, false);
  sd_bus_slot *invokedSlot = nullptr, *closedSlot = nullptr;
  bool ready = connection &&
               sd_bus_match_signal(connection.get(), &invokedSlot, nullptr, kPath, kService,
                                   "ActionInvoked", &NotifierSignals::actionInvoked, this) >= 0 &&
               sd_bus_match_signal(connection.get(), &closedSlot, nullptr, kPath, kService,
                                   "NotificationClosed", &NotifierSignals::closed, this) >= 0;
  bus::Slot invokedMatch(invokedSlot), closedMatch(closedSlot);
  {
    std::lock_guard lock(mutex_);
    listenerReady_ = ready;
  }
  listening_.notify_all();
  while (ready && !stop.stop_requested()) {
    int result = sd_bus_process(connection.get(), nullptr);
    if (result > 0) continue;
    if (result < 0) break;
    sd_bus_wait(connection.get(), std::chrono::microseconds(kListenSlice).count());
  }
}

bool DesktopNotifier::startListening() {
  std::unique_lock lock(mutex_);
  if (!listener_.joinable()) listener_ = std::jthread([this](std::stop_token stop) { listen(stop); });
  // Listening before the notification exists, so that its click cannot slip by.
  listening_.wait_for(lock, kTimeout, [&] { return listenerReady_.has_value(); });
  return listenerReady_.value_or(false);
}

void DesktopNotifier::post(const std::string&, const std::string& title, const std::string& body,
                           std::function<void()> onDefault) {
  bus::Bus connection = bus::open(busAddress_, false);
  const bool withAction = onDefault && connection && supportsActions(connection) && startListening();
  bus::Message message = prepare(connection, "Notify");
  if (!message) return;
  sd_bus_message* m = message.get();
  // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
  if (sd_bus_message_append(m, "susss", "Trellisant", std::uint32_t{0}, "trellisant",
                            title.c_str(), body.c_str()) < 0 ||
      (withAction ? sd_bus_message_append(m, "as", 2, "default", "Open Folder")
                  : sd_bus_message_append(m, "as", 0)) < 0 ||
      sd_bus_message_append(m, "a{sv}", 0) < 0 || sd_bus_message_append(m, "i", std::int32_t{-1}) < 0)
    return;
  // A rejection is not the caller's concern.
  bus::Message reply = bus::call(connection.get(), m, nullptr, kTimeout);
  std::uint32_t id = 0;
  if (!withAction || !reply || sd_bus_message_read(reply.get(), "u", &id) < 0) return;
  std::lock_guard lock(mutex_);
  if (actions_.size() >= kRemembered) actions_.erase(actions_.begin());
  actions_[id] = std::move(onDefault);
}

bool notificationServerAvailable(const std::optional<std::string>& busAddress) {
  bus::Bus connection = bus::open(busAddress, false);
  bus::Message message = prepare(connection, "GetServerInformation");
  return message && bus::call(connection.get(), message.get(), nullptr, kTimeout) != nullptr;
}

void openFolder(const std::filesystem::path& folder) { spawnDetached({"xdg-open", folder.string()}); }

}  // namespace trellisant

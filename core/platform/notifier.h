#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace trellisant {

// Posts a user notification. A notification that cannot be shown is dropped silently.
class Notifier {
 public:
  virtual ~Notifier() = default;
  // `onDefault`, when given, runs when the user clicks the notification, where the desktop
  // supports that; on a thread of the notifier's.
  virtual void post(const std::string& identifier, const std::string& title,
                    const std::string& body, std::function<void()> onDefault = {}) = 0;
};

// org.freedesktop.Notifications on the session bus. Waits for the server's answer; no session
// bus, no notification server or a rejection are ignored. A notification with a default action
// carries it only when the server lists "actions" among its capabilities; clicks are heard on a
// thread that lives as long as the notifier once such a notification was posted.
class DesktopNotifier : public Notifier {
 public:
  // `busAddress`: a D-Bus address to use instead of the user's session bus.
  explicit DesktopNotifier(std::optional<std::string> busAddress = std::nullopt);
  ~DesktopNotifier() override;
  // `identifier` has no counterpart in this protocol: every notification is a new one.
  void post(const std::string& identifier, const std::string& title, const std::string& body,
            std::function<void()> onDefault = {}) override;

 private:
  // Hears the server's ActionInvoked and NotificationClosed signals until stopped.
  void listen(std::stop_token stop);
  bool startListening();
  void invoked(std::uint32_t id, bool run);

  std::optional<std::string> busAddress_;
  std::mutex mutex_;
  std::condition_variable listening_;
  std::optional<bool> listenerReady_;
  std::map<std::uint32_t, std::function<void()>> actions_;
  std::jthread listener_;

  friend struct NotifierSignals;
};

// Whether a notification server answers on the session bus (or at `busAddress`).
bool notificationServerAvailable(const std::optional<std::string>& busAddress = std::nullopt);

// Shows the folder in the user's file manager (xdg-open). Throws PlatformError when it cannot
// be started.
void openFolder(const std::filesystem::path& folder);

}  // namespace trellisant

#pragma once

#include <optional>
#include <string>

namespace trellisant {

// Posts a user notification. A notification that cannot be shown is dropped silently.
class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void post(const std::string& identifier, const std::string& title,
                    const std::string& body) = 0;
};

// org.freedesktop.Notifications on the session bus. Waits for the server's answer; no session
// bus, no notification server or a rejection are ignored.
class DesktopNotifier : public Notifier {
 public:
  // `busAddress`: a D-Bus address to use instead of the user's session bus.
  explicit DesktopNotifier(std::optional<std::string> busAddress = std::nullopt);
  // `identifier` has no counterpart in this protocol: every notification is a new one.
  void post(const std::string& identifier, const std::string& title,
            const std::string& body) override;

 private:
  std::optional<std::string> busAddress_;
};

// Whether a notification server answers on the session bus (or at `busAddress`).
bool notificationServerAvailable(const std::optional<std::string>& busAddress = std::nullopt);

}  // namespace trellisant

#pragma once

#include <optional>
#include <string>

namespace trellisant {

// logind's lingering for this user: whether their service manager, and so the receiving
// agent, keeps running after their last session ends (an SSH logout).
class Linger {
 public:
  // `systemBus` is a test's own bus address; by default the system bus.
  explicit Linger(std::optional<std::string> systemBus = std::nullopt);
  // Nothing when logind does not answer (containers, computers without systemd).
  std::optional<bool> enabled() const;
  // Asks logind to keep the service manager without a session, as `loginctl enable-linger`
  // does (without a password prompt). Throws PlatformError with logind's reason and who can
  // turn it on instead.
  void enable() const;

 private:
  std::optional<std::string> systemBus_;
};

}  // namespace trellisant

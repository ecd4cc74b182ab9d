#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "program.h"

namespace trellisant {

class UserManager;

enum class LoginItemStatus { notRegistered, enabled, notFound };

// The agent as a program the session starts at login and keeps running.
class LoginItem {
 public:
  virtual ~LoginItem() = default;
  virtual LoginItemStatus status() = 0;
  // Register and start the agent; throws PlatformError with a description on failure.
  virtual void registerItem() = 0;
  // Stop the agent and keep it from starting again; waits until it has stopped. Throws
  // PlatformError on failure.
  virtual void unregisterItem() = 0;
  // Shows the user where background programs are managed.
  virtual void openSettings() = 0;
  // One or two sentences for people: where the unit or autostart entry lives, whether it is
  // enabled and whether the agent runs.
  virtual std::string describe() = 0;
};

// The systemd user unit trellisant-agent.service, driven over D-Bus; where no systemd user
// manager answers, an XDG autostart entry plus a detached start of the agent. Every operation
// blocks (bounded by bus timeouts and `stopWait`), so the app calls none on its UI thread.
class SystemdLoginItem : public LoginItem {
 public:
  // `userBus`: a D-Bus address to use instead of the user's session bus. `stopWait`: how long
  // the agent may take to stop, and the user manager to reload or finish a job.
  explicit SystemdLoginItem(std::filesystem::path agentExecutable = besideSelf(kAgentProgram),
                            std::optional<std::string> userBus = std::nullopt,
                            std::chrono::milliseconds stopWait = std::chrono::seconds(10));

  LoginItemStatus status() override;
  void registerItem() override;
  void unregisterItem() override;
  void openSettings() override;
  std::string describe() override;

 private:
  // The manager when one answers on the bus.
  std::optional<UserManager> userManager() const;
  void registerWithSystemd(UserManager& manager);
  void registerWithAutostart();
  void stopAgents();
  std::vector<int> runningAgents() const;

  std::filesystem::path agent_;
  std::optional<std::string> userBus_;
  std::chrono::milliseconds stopWait_;
};

}  // namespace trellisant

#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "platform/bus.h"

namespace trellisant {

// The user's systemd service manager, org.freedesktop.systemd1 on the user bus. Every call
// waits a bounded time; a refusal throws PlatformError with the manager's own description.
class UserManager {
 public:
  // Nothing when no bus answers at `address` (a test's own; by default the user bus).
  // `jobWait` bounds a reload and each job.
  static std::optional<UserManager> connect(const std::optional<std::string>& address,
                                            std::chrono::milliseconds jobWait);

  // Whether a manager owns its name on this bus (a session bus without systemd has none).
  bool answers();
  // The unit file's state as `systemctl is-enabled` prints it ("enabled", "disabled", …).
  std::string unitFileState(const std::string& unit);
  void enableUnitFile(const std::string& unit);
  void disableUnitFile(const std::string& unit);
  // Rereads the unit files (`systemctl daemon-reload`).
  void reload();
  // Queue a job that replaces any other for the unit and wait until it has finished. A job
  // still running after the wait has a unit that does not stop: its processes get SIGKILL,
  // then one more wait.
  void start(const std::string& unit) { runJob("StartUnit", unit); }
  void restart(const std::string& unit) { runJob("RestartUnit", unit); }
  void stop(const std::string& unit) { runJob("StopUnit", unit); }

 private:
  UserManager(bus::Bus bus, std::chrono::milliseconds jobWait)
      : bus_(std::move(bus)), jobWait_(jobWait) {}
  bus::Message prepare(const char* member);
  bus::Message send(sd_bus_message* call, std::chrono::microseconds timeout = bus::defaultTimeout);
  void runJob(const char* method, const std::string& unit);

  bus::Bus bus_;
  std::chrono::milliseconds jobWait_;
};

}  // namespace trellisant

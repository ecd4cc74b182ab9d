#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "clock.h"
#include "settings/preferences.h"

namespace trellisant {

// Whether the computer runs on mains power.
class PowerSource {
 public:
  virtual ~PowerSource() = default;
  virtual bool onPower() = 0;
};

// Reads /sys/class/power_supply with the rule of systemd's on_ac_power(): any non-battery
// supply that is online means mains power; otherwise a system battery that is discharging
// means battery; anything else (including no supplies at all, as on desktops, servers and
// virtual machines) counts as mains power.
class SysfsPowerSource : public PowerSource {
 public:
  explicit SysfsPowerSource(std::filesystem::path root = "/sys/class/power_supply");
  bool onPower() override;

 private:
  std::filesystem::path root_;
};

// A lock that keeps the computer from sleeping while idle (the display may still sleep).
class SleepInhibitor {
 public:
  virtual ~SleepInhibitor() = default;
  // Takes the lock; true when a lock is held afterwards. Never throws.
  virtual bool acquire() = 0;
  // Drops whatever acquire() took. Never throws.
  virtual void release() = 0;
};

// systemd-logind's "idle" block inhibitor over the system bus, held as a file descriptor, plus
// the desktop portal's suspend inhibition where the session bus offers one (desktop sessions
// suspend as the user, and logind lets users override their own locks). No bus, no logind or
// access denied simply means no lock.
class LogindAndPortalInhibitor : public SleepInhibitor {
 public:
  // Bus addresses; absent means the system bus and the user's session bus.
  struct Buses {
    std::optional<std::string> system;
    std::optional<std::string> session;
  };
  explicit LogindAndPortalInhibitor(Buses buses = {});
  ~LogindAndPortalInhibitor() override;
  LogindAndPortalInhibitor(const LogindAndPortalInhibitor&) = delete;
  LogindAndPortalInhibitor& operator=(const LogindAndPortalInhibitor&) = delete;

  bool acquire() override;
  void release() override;

 private:
  struct Portal;
  Buses buses_;
  int fd_ = -1;
  std::unique_ptr<Portal> portal_;
};

// Keeps the computer awake while receiving is useful: receiving on, mains power, and either a
// download running or the overnight window open. Never holds the lock on battery, even when
// downloads may run on battery.
class PowerPolicy {
 public:
  explicit PowerPolicy(std::shared_ptr<PowerSource> source = std::make_shared<SysfsPowerSource>(),
                       std::shared_ptr<SleepInhibitor> inhibitor =
                           std::make_shared<LogindAndPortalInhibitor>());
  ~PowerPolicy();
  PowerPolicy(const PowerPolicy&) = delete;
  PowerPolicy& operator=(const PowerPolicy&) = delete;

  // Asks the power source afresh; keeps no state.
  bool onPower() const;
  // Takes or releases the lock; never fails. A lock that could not be taken is tried again
  // at the next update.
  void update(const Preferences& preferences, bool downloading, Date now = SystemClock::now());
  bool holding() const;

 private:
  std::shared_ptr<PowerSource> source_;
  std::shared_ptr<SleepInhibitor> inhibitor_;
  mutable std::mutex mutex_;
  bool holding_ = false;
};

}  // namespace trellisant

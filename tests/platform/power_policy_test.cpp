#include "platform/power_policy.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "fake_bus.h"
#include "test_support.h"

namespace trellisant {
namespace {

using testing::TempDir;
using testing::writeText;
using namespace std::chrono;

void supply(const TempDir& root, const std::string& name,
            const std::map<std::string, std::string>& attributes) {
  auto folder = root.path() / name;
  std::filesystem::create_directories(folder);
  for (const auto& [key, value] : attributes) writeText(folder / key, value + "\n");
}

TEST(SysfsPowerSource, FollowsTheOnAcPowerRule) {
  {
    TempDir root;
    EXPECT_TRUE(SysfsPowerSource(root.path()).onPower()) << "no supplies at all";
    EXPECT_TRUE(SysfsPowerSource(root.path() / "missing").onPower());
  }
  {
    TempDir root;
    supply(root, "BAT0", {{"type", "Battery"}, {"status", "Discharging"}, {"present", "1"}});
    EXPECT_FALSE(SysfsPowerSource(root.path()).onPower()) << "laptop on battery";
    supply(root, "AC", {{"type", "Mains"}, {"online", "0"}});
    EXPECT_FALSE(SysfsPowerSource(root.path()).onPower()) << "adapter unplugged";
    supply(root, "AC", {{"type", "Mains"}, {"online", "1"}});
    EXPECT_TRUE(SysfsPowerSource(root.path()).onPower()) << "an online adapter wins";
  }
  {
    TempDir root;
    supply(root, "BAT0", {{"type", "Battery"}, {"status", "Not charging"}});
    EXPECT_TRUE(SysfsPowerSource(root.path()).onPower()) << "only Discharging means battery";
  }
  {
    TempDir root;
    supply(root, "hidpp_battery_0",
           {{"type", "Battery"}, {"status", "Discharging"}, {"scope", "Device"}});
    supply(root, "BAT1", {{"type", "Battery"}, {"status", "Discharging"}, {"present", "0"}});
    EXPECT_TRUE(SysfsPowerSource(root.path()).onPower())
        << "a mouse's battery and an absent battery do not count";
  }
  {
    TempDir root;
    supply(root, "ucsi-source-psy-USBC000:001", {{"type", "USB"}, {"online", "2"}});
    supply(root, "BAT0", {{"type", "Battery"}, {"status", "Discharging"}});
    EXPECT_TRUE(SysfsPowerSource(root.path()).onPower());
  }
}

struct FakeSource : PowerSource {
  bool mains = true;
  bool onPower() override { return mains; }
};

struct FakeInhibitor : SleepInhibitor {
  int acquired = 0;
  int released = 0;
  bool grant = true;
  bool acquire() override {
    ++acquired;
    return grant;
  }
  void release() override { ++released; }
};

Date utc(int hour) { return sys_days(year(2024) / March / 1) + hours(hour); }

Preferences receivingPreferences() {
  Preferences preferences;
  preferences.receiving = true;
  preferences.overnight = true;
  preferences.startHour = 22;
  preferences.endHour = 9;
  preferences.timeZone = "UTC";
  return preferences;
}

TEST(PowerPolicy, HoldsOneLockOnlyWhileReceivingIsUseful) {
  auto source = std::make_shared<FakeSource>();
  auto inhibitor = std::make_shared<FakeInhibitor>();
  PowerPolicy policy(source, inhibitor);
  auto preferences = receivingPreferences();

  policy.update(preferences, true, utc(12));
  policy.update(preferences, true, utc(12));
  EXPECT_TRUE(policy.holding());
  EXPECT_EQ(inhibitor->acquired, 1) << "two wanting updates take the lock once";

  preferences.receiving = false;
  policy.update(preferences, true, utc(12));
  EXPECT_FALSE(policy.holding());
  EXPECT_EQ(inhibitor->released, 1) << "receiving off releases a held lock";

  preferences.receiving = true;
  policy.update(preferences, false, utc(23));
  EXPECT_TRUE(policy.holding()) << "idle inside the overnight window at 23:00";
  policy.update(preferences, false, utc(10));
  EXPECT_FALSE(policy.holding()) << "released at 10:00";
  EXPECT_EQ(inhibitor->released, 2);

  preferences.overnight = false;
  policy.update(preferences, false, utc(23));
  EXPECT_FALSE(policy.holding()) << "window does not apply";

  source->mains = false;
  preferences.allowBattery = true;
  policy.update(preferences, true, utc(12));
  EXPECT_FALSE(policy.holding()) << "never on battery, even when downloads may run on it";
  EXPECT_FALSE(policy.onPower());
  EXPECT_EQ(inhibitor->acquired, 2);
}

TEST(PowerPolicy, RetriesAFailedLockAndReleasesOnDestruction) {
  auto source = std::make_shared<FakeSource>();
  auto inhibitor = std::make_shared<FakeInhibitor>();
  {
    PowerPolicy policy(source, inhibitor);
    inhibitor->grant = false;
    policy.update(receivingPreferences(), true, utc(12));
    EXPECT_FALSE(policy.holding());
    inhibitor->grant = true;
    policy.update(receivingPreferences(), true, utc(12));
    EXPECT_TRUE(policy.holding());
    EXPECT_EQ(inhibitor->acquired, 2);
    EXPECT_EQ(inhibitor->released, 0);
  }
  EXPECT_EQ(inhibitor->released, 1);

  { PowerPolicy idle(source, inhibitor); }
  EXPECT_EQ(inhibitor->released, 1) << "nothing held, nothing released";
}

// Whether every copy of the pipe's write end has been closed.
bool writerClosed(int readEnd, int waitMs) {
  pollfd fd{readEnd, POLLIN, 0};
  return ::poll(&fd, 1, waitMs) == 1 && (fd.revents & POLLHUP);
}

TEST(LogindInhibitor, HoldsTheDescriptorLogindHandsOut) {
  TempDir dir;
  testing::FakeBus logind(dir / "system_bus");
  testing::FakeBus session(dir / "session_bus");
  int lock[2];
  ASSERT_EQ(::pipe(lock), 0);
  std::vector<std::string> arguments;
  logind.handle("Inhibit", [&](sd_bus_message* call) {
    const char *what, *who, *why, *mode;
    sd_bus_message_read(call, "ssss", &what, &who, &why, &mode);
    arguments = {what, who, why, mode};
    sd_bus_reply_method_return(call, "h", lock[1]);
    ::close(lock[1]);
  });

  LogindInhibitor inhibitor({logind.address(), session.address()});
  ASSERT_TRUE(inhibitor.acquire());
  EXPECT_EQ(arguments, (std::vector<std::string>{"idle", "Trellisant",
                                                  "Trellisant is ready for company footage",
                                                  "block"}));
  EXPECT_EQ(session.calls("Inhibit"), 1) << "the portal was asked too";
  EXPECT_FALSE(writerClosed(lock[0], 100)) << "the lock is still held after the reply was freed";
  inhibitor.release();
  EXPECT_TRUE(writerClosed(lock[0], 2000));
  ::close(lock[0]);
}

TEST(LogindInhibitor, TakesAndClosesThePortalInhibition) {
  TempDir dir;
  testing::FakeBus session(dir / "session_bus");
  std::uint32_t flags = 0;
  session.handle("Inhibit", [&](sd_bus_message* call) {
    const char* window;
    sd_bus_message_read(call, "su", &window, &flags);
    sd_bus_reply_method_return(call, "o", "/org/freedesktop/portal/desktop/request/1_1/t");
  });
  session.handle("Close", [](sd_bus_message* call) { sd_bus_reply_method_return(call, ""); });

  LogindInhibitor inhibitor({"unix:path=" + (dir / "no_system_bus").string(), session.address()});
  ASSERT_TRUE(inhibitor.acquire()) << "the portal alone is a lock";
  EXPECT_EQ(flags, 4u) << "suspend";
  EXPECT_TRUE(inhibitor.acquire());
  EXPECT_EQ(session.calls("Inhibit"), 1) << "a held inhibition is not taken twice";
  inhibitor.release();
  EXPECT_EQ(session.calls("Close"), 1);
}

TEST(LogindInhibitor, NoBusOrRefusalIsNoLock) {
  TempDir dir;
  testing::FakeBus refusing(dir / "bus");  // answers every Inhibit with UnknownMethod
  LogindInhibitor nothing({"unix:path=" + (dir / "none").string(),
                           "unix:path=" + (dir / "none").string()});
  EXPECT_FALSE(nothing.acquire());
  LogindInhibitor refused({refusing.address(), refusing.address()});
  EXPECT_FALSE(refused.acquire());
  EXPECT_EQ(refusing.calls("Inhibit"), 2);
  refused.release();
}

}  // namespace
}  // namespace trellisant

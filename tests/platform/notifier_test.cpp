#include "platform/notifier.h"

#include <gtest/gtest.h>

#include "fake_bus.h"
#include "test_support.h"

namespace trellisant {
namespace {

using testing::TempDir;

struct Notification {
  std::string app, icon, summary, body;
  std::uint32_t replaces = 99;
  int actions = -1, hints = -1;
  std::int32_t timeout = 0;
};

// Reads an array's elements and returns how many there were.
int countArray(sd_bus_message* m, char type, const char* contents) {
  int count = 0;
  sd_bus_message_enter_container(m, type, contents);
  while (sd_bus_message_at_end(m, false) == 0) {
    sd_bus_message_skip(m, nullptr);
    ++count;
  }
  sd_bus_message_exit_container(m);
  return count;
}

TEST(DesktopNotifier, PostsThroughTheNotificationService) {
  TempDir dir;
  testing::FakeBus bus(dir / "bus");
  Notification seen;
  bus.handle("Notify", [&](sd_bus_message* m) {
    const char *app, *icon, *summary, *body;
    sd_bus_message_read(m, "susss", &app, &seen.replaces, &icon, &summary, &body);
    seen.app = app;
    seen.icon = icon;
    seen.summary = summary;
    seen.body = body;
    seen.actions = countArray(m, 'a', "s");
    seen.hints = countArray(m, 'a', "{sv}");
    sd_bus_message_read(m, "i", &seen.timeout);
    sd_bus_reply_method_return(m, "u", 7u);
  });

  DesktopNotifier(bus.address()).post("delivery-1", "Footage is ready", "Day 3 – “A” camera");
  EXPECT_EQ(bus.calls("Notify"), 1);
  EXPECT_EQ(seen.app, "Trellisant");
  EXPECT_EQ(seen.replaces, 0u);
  EXPECT_EQ(seen.summary, "Footage is ready");
  EXPECT_EQ(seen.body, "Day 3 – “A” camera");
  EXPECT_EQ(seen.actions, 0);
  EXPECT_EQ(seen.hints, 0);
  EXPECT_EQ(seen.timeout, -1);
}

TEST(DesktopNotifier, IgnoresAMissingOrRefusingServer) {
  TempDir dir;
  testing::FakeBus refusing(dir / "bus");  // no Notify handler: every call is refused
  EXPECT_NO_THROW(DesktopNotifier(refusing.address()).post("id", "Footage is ready", "x"));
  EXPECT_EQ(refusing.calls("Notify"), 1);
  EXPECT_NO_THROW(
      DesktopNotifier("unix:path=" + (dir / "none").string()).post("id", "Footage is ready", "x"));
}

TEST(DesktopNotifier, KnowsWhetherAServerAnswers) {
  TempDir dir;
  testing::FakeBus bus(dir / "bus");
  EXPECT_FALSE(notificationServerAvailable(bus.address()));
  bus.handle("GetServerInformation", [](sd_bus_message* m) {
    sd_bus_reply_method_return(m, "ssss", "fake", "test", "1", "1.2");
  });
  EXPECT_TRUE(notificationServerAvailable(bus.address()));
  EXPECT_FALSE(notificationServerAvailable("unix:path=" + (dir / "none").string()));
}

}  // namespace
}  // namespace trellisant

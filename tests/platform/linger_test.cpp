#include "platform/linger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "error.h"
#include "fake_bus.h"
#include "test_support.h"

namespace trellisant {
namespace {

TEST(Linger, ReadsAndTurnsOnLogindsLingering) {
  testing::TempDir dir;
  testing::FakeBus logind(dir / "bus");
  bool lingering = false;
  std::uint32_t askedFor = 0;
  logind.handle("GetUser", [&](sd_bus_message* m) {
    sd_bus_message_read(m, "u", &askedFor);
    sd_bus_reply_method_return(m, "o", "/org/freedesktop/login1/user/_1000");
  });
  logind.handle("Get", [&](sd_bus_message* m) {
    const char *interface, *property;
    sd_bus_message_read(m, "ss", &interface, &property);
    if (std::string(interface) != "org.freedesktop.login1.User" || std::string(property) != "Linger") {
      sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.UnknownProperty", "no %s", property);
      return;
    }
    sd_bus_reply_method_return(m, "v", "b", lingering ? 1 : 0);
  });
  int refusals = 1;
  logind.handle("SetUserLinger", [&](sd_bus_message* m) {
    std::uint32_t uid = 0;
    int enable = 0, interactive = 1;
    sd_bus_message_read(m, "ubb", &uid, &enable, &interactive);
    if (refusals-- > 0) {
      sd_bus_reply_method_errorf(m, "org.freedesktop.DBus.Error.AccessDenied", "Access denied");
      return;
    }
    EXPECT_EQ(uid, ::getuid());
    EXPECT_EQ(interactive, 0) << "never a password prompt";
    lingering = enable != 0;
    sd_bus_reply_method_return(m, "");
  });

  Linger linger(logind.address());
  EXPECT_EQ(linger.enabled(), false);
  EXPECT_EQ(askedFor, ::getuid());
  try {
    linger.enable();
    ADD_FAILURE() << "a refusal is a failure";
  } catch (const PlatformError& error) {
    EXPECT_STREQ(error.what(), "Access denied");
  }
  linger.enable();
  EXPECT_EQ(linger.enabled(), true);

  EXPECT_EQ(Linger("unix:path=" + (dir / "nobody").string()).enabled(), std::nullopt);
}

}  // namespace
}  // namespace trellisant

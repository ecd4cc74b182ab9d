#include <gtest/gtest.h>
#include <unicode/timezone.h>

#include <chrono>
#include <memory>

#include "settings/preferences.h"

using namespace trellisant;
using namespace std::chrono;

namespace {

// 2024-03-14 (no daylight-saving change near it) at the given UTC time of day.
Date utc(int hour, int minute = 0, int second = 0) {
  return sys_days{year{2024} / March / 14} + hours{hour} + minutes{minute} + seconds{second};
}

Preferences window(std::int64_t start, std::int64_t end, std::string zone = "Etc/UTC") {
  Preferences p;
  p.startHour = start;
  p.endHour = end;
  p.timeZone = std::move(zone);
  return p;
}

// Makes ICU's default zone `id` for the life of the object.
class DefaultZone {
 public:
  explicit DefaultZone(const char* id) : saved_(icu::TimeZone::createDefault()) {
    icu::TimeZone::adoptDefault(icu::TimeZone::createTimeZone(id));
  }
  ~DefaultZone() { icu::TimeZone::adoptDefault(saved_.release()); }

 private:
  std::unique_ptr<icu::TimeZone> saved_;
};

}  // namespace

TEST(Window, OvernightWindowWrapsPastMidnight) {
  auto p = window(22, 9);
  EXPECT_TRUE(p.inWindow(utc(22)));
  EXPECT_TRUE(p.inWindow(utc(23, 59, 59)));
  EXPECT_TRUE(p.inWindow(utc(0)));
  EXPECT_TRUE(p.inWindow(utc(8, 59, 59)));
  EXPECT_FALSE(p.inWindow(utc(9)));
  EXPECT_FALSE(p.inWindow(utc(12)));
  EXPECT_FALSE(p.inWindow(utc(21, 59, 59)));
}

TEST(Window, DaytimeWindowAndEqualHours) {
  auto p = window(9, 17);
  EXPECT_FALSE(p.inWindow(utc(8, 59)));
  EXPECT_TRUE(p.inWindow(utc(9)));
  EXPECT_TRUE(p.inWindow(utc(16, 59)));
  EXPECT_FALSE(p.inWindow(utc(17)));
  for (int hours : {0, 9, 23}) {
    auto whole = window(hours, hours);
    for (int h = 0; h < 24; ++h) EXPECT_TRUE(whole.inWindow(utc(h, 30))) << hours << " at " << h;
  }
  // The overnight flag is the callers' business.
  auto off = window(22, 9);
  off.overnight = false;
  EXPECT_TRUE(off.inWindow(utc(23)));
}

TEST(Window, HoursAreReadInThePreferredZone) {
  // 13:00 UTC is 22:00 in Tokyo (UTC+9, no daylight saving).
  EXPECT_TRUE(window(22, 9, "Asia/Tokyo").inWindow(utc(13)));
  EXPECT_FALSE(window(22, 9, "Asia/Tokyo").inWindow(utc(0)));
  // 2024-03-14 is daylight time in New York: 02:00 UTC is 22:00 there.
  EXPECT_TRUE(window(22, 9, "America/New_York").inWindow(utc(2)));
  EXPECT_FALSE(window(22, 9, "America/New_York").inWindow(utc(13)));
}

TEST(Window, UnknownZoneFallsBackToTheSystemZone) {
  DefaultZone tokyo("Asia/Tokyo");
  for (const char* zone : {"Mars/Olympus_Mons", ""}) {
    EXPECT_TRUE(window(22, 9, zone).inWindow(utc(13))) << zone;
    EXPECT_FALSE(window(22, 9, zone).inWindow(utc(0))) << zone;
  }
  // A fresh record names the system zone.
  EXPECT_EQ(Preferences().timeZone, "Asia/Tokyo");
}

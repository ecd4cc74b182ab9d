#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <limits>
#include <thread>

#include "encoding.h"
#include "fileio.h"
#include "settings/app_configuration.h"
#include "settings/preferences.h"
#include "test_support.h"

using namespace trellisant;
using trellisant::testing::readText;
using trellisant::testing::TempDir;
using trellisant::testing::TempHome;
using trellisant::testing::writeText;

namespace {

// A record that differs from the defaults in every field.
Preferences customRecord() {
  Preferences p;
  p.server = "https://company.example:8443/base";
  p.destination = std::string("bookmark\0\xff\x01 bytes", 17);
  p.destinationLabel = "Footage";
  p.receiving = true;
  p.overnight = false;
  p.startHour = 1;
  p.endHour = 5;
  p.timeZone = "Asia/Tokyo";
  p.bandwidthMbps = 12.5;
  p.allowBattery = true;
  return p;
}

mode_t modeOf(const std::filesystem::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

}  // namespace

TEST(Preferences, DefaultRecord) {
  Preferences p;
  EXPECT_EQ(p.server, AppConfiguration::server());
  EXPECT_FALSE(p.destination);
  EXPECT_EQ(p.destinationLabel, "");
  EXPECT_FALSE(p.receiving);
  EXPECT_TRUE(p.overnight);
  EXPECT_EQ(p.startHour, 22);
  EXPECT_EQ(p.endHour, 9);
  EXPECT_FALSE(p.timeZone.empty());
  EXPECT_EQ(p.bandwidthMbps, 0);
  EXPECT_FALSE(p.allowBattery);
}

TEST(Preferences, SaveWritesExactKeysAndDestinationAsBase64) {
  TempDir dir;
  auto file = dir / "preferences.json";
  Preferences record = customRecord();
  record.save(file);
  std::string raw = readText(file);
  EXPECT_EQ(raw.find('\n'), std::string::npos) << "compact output";
  Json json = Json::parse(raw);
  EXPECT_EQ(json.size(), 10u);
  EXPECT_EQ(json["destination"], base64Encode(*record.destination));
  EXPECT_EQ(json["startHour"], 1);
  EXPECT_EQ(json["timeZone"], "Asia/Tokyo");
  EXPECT_EQ(Preferences::load(file), record);

  record.destination.reset();
  record.save(file);
  json = Json::parse(readText(file));
  EXPECT_FALSE(json.contains("destination"));
  EXPECT_EQ(json.size(), 9u);
  EXPECT_EQ(Preferences::load(file), record);
}

TEST(Preferences, LoadIsAllKeysOrDefaults) {
  TempDir dir;
  auto file = dir / "preferences.json";
  const Json full = customRecord().toJson();
  const Preferences defaults;

  EXPECT_EQ(Preferences::load(dir / "missing.json"), defaults);
  for (const auto& [key, value] : full.items()) {
    if (key == "destination") continue;
    Json partial = full;
    partial.erase(key);
    writeText(file, partial.dump());
    EXPECT_EQ(Preferences::load(file), defaults) << "without " << key;
    partial = full;
    partial[key] = nullptr;
    writeText(file, partial.dump());
    EXPECT_EQ(Preferences::load(file), defaults) << key << " null";
  }

  // Wrong types, snake-case keys, bad Base64 and non-JSON all give the defaults too.
  const std::pair<const char*, Json> wrong[] = {
      {"startHour", "22"}, {"receiving", 1}, {"bandwidthMbps", "0"},
      {"destination", "not base64!"}, {"server", 5}, {"startHour", 1.5}};
  for (const auto& [key, value] : wrong) {
    Json bad = full;
    bad[key] = value;
    writeText(file, bad.dump());
    EXPECT_EQ(Preferences::load(file), defaults) << key << " = " << value.dump();
  }
  Json snake = full;
  snake["start_hour"] = snake["startHour"];
  snake.erase("startHour");
  writeText(file, snake.dump());
  EXPECT_EQ(Preferences::load(file), defaults);
  writeText(file, "{\"server\": ");
  EXPECT_EQ(Preferences::load(file), defaults);
  writeText(file, "[]");
  EXPECT_EQ(Preferences::load(file), defaults);

  // destination alone may be missing: everything else is kept.
  Json noFolder = full;
  noFolder.erase("destination");
  noFolder["extra"] = "ignored";
  writeText(file, noFolder.dump());
  Preferences expected = customRecord();
  expected.destination.reset();
  EXPECT_EQ(Preferences::load(file), expected);
}

TEST(Preferences, LoopbackServerIsResetAndSavedBack) {
  TempDir dir;
  auto file = dir / "preferences.json";
  for (const char* server : {"http://LOCALHOST:8080", "https://127.0.0.1/api", "http://[::1]:3000",
                             "https://LocalHost"}) {
    Preferences saved = customRecord();
    saved.server = server;
    saved.save(file);
    ::chmod(file.c_str(), 0644);

    Preferences loaded = Preferences::load(file);
    Preferences expected = customRecord();
    expected.server = std::string(AppConfiguration::server());
    expected.receiving = false;
    EXPECT_EQ(loaded, expected) << server;
    EXPECT_EQ(Preferences::fromJson(Json::parse(readText(file))), expected) << "rewritten on disk";
    EXPECT_EQ(modeOf(file), 0600u);
  }
}

TEST(Preferences, NonLoopbackServerIsKeptAsWritten) {
  TempDir dir;
  auto file = dir / "preferences.json";
  for (const char* server : {"http://192.168.1.20:8080", "http://localhost.example.com",
                             "http://company.example", "not a url"}) {
    Preferences saved = customRecord();
    saved.server = server;
    saved.save(file);
    std::string before = readText(file);
    EXPECT_EQ(Preferences::load(file), saved) << server;
    EXPECT_EQ(readText(file), before) << "file left alone for " << server;
  }
}

TEST(Preferences, FileAndSupportFolderModes) {
  TempHome home;
  ASSERT_FALSE(std::filesystem::exists(home.support()));
  mode_t old = ::umask(0);
  Preferences record = customRecord();
  record.save(Preferences::file());
  ::umask(old);
  EXPECT_EQ(modeOf(home.support()), 0700u);
  EXPECT_EQ(modeOf(home.support() / "preferences.json"), 0600u);
  EXPECT_EQ(Preferences::load(), record);

  // A file made by someone else with a wider mode is narrowed on the next save.
  ::chmod((home.support() / "preferences.json").c_str(), 0666);
  record.save(Preferences::file());
  EXPECT_EQ(modeOf(home.support() / "preferences.json"), 0600u);
}

TEST(Preferences, SaveFailsWithThePlatformError) {
  TempDir dir;
  Preferences record;
  EXPECT_THROW(record.save(dir / "missing-folder" / "preferences.json"), PlatformError);
  record.bandwidthMbps = std::numeric_limits<double>::infinity();
  EXPECT_THROW(record.save(dir / "preferences.json"), PlatformError);
  EXPECT_FALSE(std::filesystem::exists(dir / "preferences.json"));
}

TEST(Preferences, ReaderNeverSeesAPartialFile) {
  TempDir dir;
  auto file = dir / "preferences.json";
  Preferences record = customRecord();
  record.startHour = 0;
  record.destinationLabel = "";
  record.save(file);

  std::atomic<bool> done = false;
  std::atomic<int> reads = 0;
  std::atomic<int> failures = 0;
  std::jthread reader([&] {
    while (!done || reads < 50) {
      auto bytes = readFile(file);
      try {
        if (!bytes) throw std::runtime_error("missing");
        Preferences seen = Preferences::fromJson(Json::parse(*bytes));
        if (seen.destinationLabel.size() != static_cast<std::size_t>(seen.startHour)) ++failures;
      } catch (const std::exception&) {
        ++failures;
      }
      ++reads;
    }
  });
  for (int i = 0; i < 300; ++i) {
    // Sizes change with every write so a torn read cannot pass for a whole one.
    record.startHour = (i * 7919) % 4000;
    record.destinationLabel = std::string(static_cast<std::size_t>(record.startHour), 'x');
    record.save(file);
  }
  done = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(failures.load(), 0);
}

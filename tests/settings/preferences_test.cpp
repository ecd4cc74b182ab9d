// preferences.json, the download folder and the overnight window.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <tuple>
#include <vector>

#include "settings/preferences.h"
#include "test_support.h"
#include "settings/paths.h"

namespace trellisant::testing {
namespace {

// The shared files' names stay as every installed version knows them; a socket lives in the
// runtime folder when the session has one.
TEST(Paths, TheSharedFilesKeepTheirNamesAndTheSocketsFollowTheRuntimeFolder) {
  TempHome home;
  const fs::path config = home.root() / "home/.config";
  EXPECT_EQ(std::vector<fs::path>({Paths::preferencesFile(), Paths::statusFile(), Paths::journalFile(),
                                   Paths::credentialsFile(), Paths::receivedHistoryFile(), Paths::userUnitFile(),
                                   Paths::agentEnvironmentFile()}),
            std::vector<fs::path>({home.support() / "preferences.json", home.support() / "status.json",
                                   home.support() / "downloads.sqlite", home.support() / "credentials.json",
                                   home.support() / "received.sqlite",
                                   config / "systemd/user/trellisant-agent.service", config / "trellisant/agent.env"}));
  EXPECT_EQ(Paths::controlSocket(), home.root() / "runtime/com.trellisant.agent");
  EXPECT_EQ(Paths::appSocket(), home.root() / "runtime/com.trellisant.app");
  ::setenv("XDG_RUNTIME_DIR", "runtime", 1);  // not absolute: none
  EXPECT_EQ(Paths::controlSocket(), home.support() / "agent.sock");
  EXPECT_EQ(Paths::appSocket(), home.support() / "app.sock");
}

TEST(Preferences, ExactKeysPrivateFilesAndTheDefaultsForAnyDamage) {
  TempHome home;
  const fs::path file = Paths::preferencesFile();
  // Every field differs from the defaults; the folder's bookmark goes as Base64.
  const std::string saved =
      R"({"allowBattery":true,"bandwidthMbps":12.5,"destination":"YgD/",)"
      R"("destinationLabel":"Footage","endHour":5,"overnight":false,"receiving":true,)"
      R"("server":"https://company.example:8443","startHour":1,"timeZone":"Asia/Tokyo"})";
  Preferences record = Preferences::fromJson(Json::parse(saved));
  EXPECT_EQ(record.destination, std::string("b\0\xff", 3));
  mode_t umask = ::umask(0);
  record.save(file);
  ::umask(umask);
  EXPECT_EQ(fs::status(home.support()).permissions(), fs::perms(0700));
  EXPECT_EQ(fs::status(file).permissions(), fs::perms(0600));
  EXPECT_EQ(readText(file), saved);
  EXPECT_EQ(Preferences::load(file), record);

  // Cut anywhere, a key missing, of the wrong type or in snake_case: the defaults, and the
  // file is left as it is for whoever saves next.
  std::vector<std::string> damaged{"[]", "{\"server\":\"\xff\"}", std::string(200000, '[')};
  for (std::size_t length = 0; length < saved.size(); ++length) damaged.push_back(saved.substr(0, length));
  const Json full = Json::parse(saved);
  for (auto& [key, value] : full.items()) {
    Json changed = full;
    changed[key] = Json::array();
    damaged.push_back(changed.dump());
    changed.erase(key);
    if (key == "startHour") changed["start_hour"] = 1;
    if (key != "destination") damaged.push_back(changed.dump());
  }
  for (auto [from, to] : {std::pair{"\"YgD/\"", "\"***\""}, {"\"startHour\":1,", "\"startHour\":1.5,"}})
    damaged.push_back(std::string(saved).replace(saved.find(from), std::string_view(from).size(), to));
  for (const auto& content : damaged) {
    writeText(file, content);
    EXPECT_EQ(Preferences::load(file), Preferences()) << content.substr(0, 80);
    EXPECT_EQ(readText(file), content);
  }
}

TEST(Folder, UnusableChoicesKeepTheEarlierFolderAndARecreatedOneIsNotIt) {
  TempDir dir;
  const fs::path good = dir / "Footage", locked = dir / "locked";
  for (const auto& folder : {good, locked}) fs::create_directory(folder);
  ::chmod(locked.c_str(), 0555);
  writeText(dir / "clip.mov", "not a folder");
  Preferences p;
  p.setDestination(good.string() + "/");
  const Preferences before = p;
  for (const fs::path& choice : {dir / "clip.mov", dir / "missing", fs::path("relative")})
    EXPECT_EQ(failureOf([&] { p.setDestination(choice); }), "Choose an available folder for your downloads.") << choice;
  // procfs refuses new files even to root, like a disconnected disk; root writes anywhere else.
  for (const fs::path& refused : {fs::path("/proc"), ::geteuid() == 0 ? fs::path("/proc") : locked})
    EXPECT_EQ(failureOf([&] { p.setDestination(refused); }),
              "Trellisant could not use this folder. Check that the disk is connected and you "
              "have permission to save files there.");
  EXPECT_EQ(p, before);
  EXPECT_TRUE(fs::is_empty(locked));

  fs::rename(good, dir / "moved");
  fs::create_directory(good);
  EXPECT_EQ(failureOf([&] { p.rootPath(); }), "Choose your download folder again to renew access.");
}

TEST(Window, OvernightHoursWrapPastMidnightInThePreferredZone) {
  using namespace std::chrono;
  // Minutes after midnight UTC on 2024-03-14: daylight time in New York, none in Tokyo.
  for (auto [start, end, zone, minute, inside] : std::vector<std::tuple<int, int, const char*, int, bool>>{
           {22, 9, "Etc/UTC", 1320, true}, {22, 9, "Etc/UTC", 0, true}, {22, 9, "Etc/UTC", 539, true},
           {22, 9, "Etc/UTC", 540, false}, {22, 9, "Etc/UTC", 1319, false}, {9, 17, "Etc/UTC", 539, false},
           {9, 17, "Etc/UTC", 1019, true}, {5, 5, "Etc/UTC", 720, true}, {22, 9, "Asia/Tokyo", 780, true},
           {22, 9, "Asia/Tokyo", 0, false}, {22, 9, "America/New_York", 120, true}}) {
    Preferences p;
    std::tie(p.startHour, p.endHour, p.timeZone) = std::tuple(start, end, zone);
    EXPECT_EQ(p.inWindow(sys_days{2024y / March / 14} + minutes{minute}), inside)
        << start << "-" << end << " " << zone << " " << minute;
  }
}

}  // namespace
}  // namespace trellisant::testing

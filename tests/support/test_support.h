#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/power_policy.h"

namespace trellisant::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Power and the sleep lock as a test sets them; counts what the policy asked for.
struct FakePower : PowerSource, SleepInhibitor {
  std::atomic<bool> mains{true}, grant{true};
  std::atomic<int> acquired{0}, released{0};
  bool onPower() override { return mains; }
  bool acquire() override { return ++acquired, grant.load(); }
  void release() override { ++released; }
};

// A fresh temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Points HOME, XDG_DATA_HOME, XDG_CONFIG_HOME, XDG_STATE_HOME and XDG_RUNTIME_DIR at a fresh
// temporary folder and leaves no session bus for the life of the object, so tests never touch
// the user's own files or keyring.
class TempHome {
 public:
  TempHome();
  ~TempHome();
  const std::filesystem::path& root() const { return dir_.path(); }
  // The support folder Paths::support() resolves to.
  std::filesystem::path support() const;

 private:
  TempDir dir_;
  std::map<std::string, std::optional<std::string>> saved_;
};

// Polls `condition` until it holds or `limit` passes; whether it held. For what another
// process or thread does, which cannot be waited on directly. Between polls it runs the wait
// step: a sleep of `poll`, unless setWaitStep installed another (the app's tests run Qt's
// event loop there, so that results posted to the UI thread arrive).
bool waitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds limit = std::chrono::seconds(5),
               std::chrono::milliseconds poll = std::chrono::milliseconds(100));
void setWaitStep(std::function<void(std::chrono::milliseconds poll)> step);

void writeText(const std::filesystem::path& path, const std::string& text);
std::string readText(const std::filesystem::path& path);
// SHA-256 of a file in lower-case hex; throws when it cannot be read.
std::string sha256Of(const std::filesystem::path& path);

// Where a GET of `url` is redirected (its Location, not followed); "" when nowhere. What a
// browser does with the sandbox's authorization page.
std::string locationOf(const std::string& url);

// The message of the TrellisantError `action` throws, "" when it throws nothing; any other
// failure is reported by name.
std::string failureOf(const std::function<void()>& action);

}  // namespace trellisant::testing

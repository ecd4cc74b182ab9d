#include "test_support.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>
#include <thread>

#include "api/http.h"
#include "digest.h"
#include "error.h"
#include "fileio.h"

namespace trellisant::testing {

namespace {
std::function<void(std::chrono::milliseconds)> waitStep;  // a sleep unless set
}  // namespace

void setWaitStep(decltype(waitStep) step) {
  waitStep = std::move(step);
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               std::chrono::milliseconds poll) {
  for (auto deadline = std::chrono::steady_clock::now() + limit; !condition();) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    waitStep ? waitStep(poll) : std::this_thread::sleep_for(poll);
  }
  return true;
}

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "trellisant-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = fs::recursive_directory_iterator(path_, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored))
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ignored);
}

TempHome::TempHome() {
  for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME",
                           "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"}) {
    const char* value = ::getenv(name);
    saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
    ::unsetenv(name);  // the user's own keyring is never a test's store
  }
  for (const char* folder : {"home", "runtime"}) fs::create_directories(dir_ / folder);
  ::setenv("HOME", (dir_ / "home").c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", (dir_ / "runtime").c_str(), 1);
}

TempHome::~TempHome() {
  for (auto& [name, value] : saved_)
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
}

fs::path TempHome::support() const {
  return dir_ / "home" / ".local" / "share" / "Trellisant";
}

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!(out << text)) throw std::runtime_error("cannot write " + path.string());
}

std::string readText(const fs::path& path) {
  return readFile(path).value_or("");
}

std::string sha256Of(const fs::path& path) {
  auto digest = sha256HexOfFile(path);
  if (!digest) throw std::runtime_error("cannot read " + path.string());
  return *digest;
}

std::string locationOf(const std::string& url) {
  http::Request request;
  request.url = url;
  return http::perform(request).header("Location").value_or("");
}

std::string failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const TrellisantError& error) {
    return error.message();
  } catch (const Cancelled&) {
    return "<cancelled>";
  } catch (const std::exception& error) {
    return std::string("<other: ") + error.what() + ">";
  }
  return "";
}

}  // namespace trellisant::testing

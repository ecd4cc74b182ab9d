#include "test_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "digest.h"
#include "error.h"

namespace trellisant::testing {

namespace {
std::function<void(std::chrono::milliseconds)> waitStep = [](std::chrono::milliseconds poll) {
  std::this_thread::sleep_for(poll);
};
}  // namespace

void setWaitStep(std::function<void(std::chrono::milliseconds)> step) { waitStep = std::move(step); }

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit,
               std::chrono::milliseconds poll) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    waitStep(poll);
  }
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "trellisant-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_directory(ignored) && !it->is_symlink(ignored))
      std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

TempHome::TempHome() {
  const char* names[] = {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR",
                         "DBUS_SESSION_BUS_ADDRESS"};
  for (const char* name : names) {
    const char* value = ::getenv(name);
    saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
  }
  auto home = dir_.path() / "home";
  std::filesystem::create_directories(home);
  std::filesystem::create_directories(dir_.path() / "runtime");
  ::setenv("HOME", home.c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_CONFIG_HOME");
  ::setenv("XDG_RUNTIME_DIR", (dir_.path() / "runtime").c_str(), 1);
  // The user's own keyring is never a test's store.
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

TempHome::~TempHome() {
  for (auto& [name, value] : saved_) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

std::filesystem::path TempHome::support() const {
  return dir_.path() / "home" / ".local" / "share" / "Trellisant";
}

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string readText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::string sha256Of(const std::filesystem::path& path) {
  auto digest = sha256HexOfFile(path);
  if (!digest) throw std::runtime_error("cannot read " + path.string());
  return *digest;
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

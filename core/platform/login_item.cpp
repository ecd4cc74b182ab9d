#include "platform/login_item.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "error.h"
#include "fileio.h"
#include "platform/user_manager.h"
#include "settings/paths.h"

namespace trellisant {
namespace {

std::vector<char*> argvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const auto& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

std::filesystem::path configHome() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  if (home && home[0] != '\0') return std::filesystem::path(home) / ".config";
  if (const passwd* entry = ::getpwuid(::getuid())) return std::filesystem::path(entry->pw_dir) / ".config";
  return ".config";
}

bool isExecutable(const std::filesystem::path& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// A value for systemd's ExecStart= that survives its quoting, "%" specifiers and "$" expansion.
std::string systemdQuoted(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');
    if (c == '$') out.push_back('$');
    out.push_back(c);
  }
  return out + "\"";
}

// An Environment= line of a unit: one quoted word with C escapes, "%" doubled for specifiers
// ("$" means nothing there).
std::string systemdEnvironment(const std::string& assignment) {
  std::string out = "Environment=\"";
  for (char c : assignment) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
      continue;
    }
    if (c == '"' || c == '\\') out.push_back('\\');
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  return out + "\"\n";
}

// NAME=value for what the agent must share with the program that enables it: the folder of the
// shared files (the user manager's XDG_DATA_HOME can differ from the session's) and, apart,
// the session's proxies, which may carry a password.
std::string pinnedDataHome() { return "XDG_DATA_HOME=" + Paths::dataHome().string(); }

std::vector<std::string> pinnedProxies() {
  std::vector<std::string> pinned;
  for (const char* name : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy",
                           "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0') pinned.push_back(std::string(name) + "=" + value);
  }
  return pinned;
}

// NAME='value' lines, which systemd's EnvironmentFile= and sh's "." read alike.
std::string environmentText() {
  std::string text;
  for (const auto& assignment : pinnedProxies()) {
    auto equals = assignment.find('=');
    text += assignment.substr(0, equals + 1) + "'";
    for (char c : assignment.substr(equals + 1)) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += "'\n";
  }
  return text;
}

// A path for a unit's setting: "%" doubled for specifiers; a line break would end the setting.
std::string systemdPath(const std::filesystem::path& path) {
  std::string out;
  for (char c : path.string()) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      throw PlatformError("A systemd unit cannot name a file whose path holds control characters.");
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  return out;
}

std::string unitText(const std::filesystem::path& agent, const std::filesystem::path& environment) {
  return "[Unit]\n"
         "Description=Trellisant receiving helper\n"
         "\n"
         "[Service]\n" +
         systemdEnvironment(pinnedDataHome()) +
         "EnvironmentFile=-" + systemdPath(environment) + "\n"
         "ExecStart=" + systemdQuoted(agent.string()) + "\n"
         "Restart=on-failure\n"
         "\n"
         "[Install]\n"
         "WantedBy=default.target\n";
}

// A desktop starts the entry with its own environment, so a shell reads the private file first.
std::string autostartText(const std::filesystem::path& agent, const std::filesystem::path& environment) {
  std::string command = "env " + desktopExecArgument(pinnedDataHome()) + " sh -c " +
                        desktopExecArgument(R"(set -a; [ ! -r "$0" ] || . "$0"; exec "$1")") + " " +
                        desktopExecArgument(environment.string()) + " " + desktopExecArgument(agent.string());
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Trellisant receiving helper\n"
         "Exec=" + command + "\n"
         "NoDisplay=true\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

// Writes the file unless it already holds `text` with `mode`; true when it changed. A private
// file goes in a folder that only the user can enter.
bool writeIfChanged(const std::filesystem::path& path, const std::string& text, mode_t mode = 0644) {
  struct stat info {};
  bool same = readFile(path) == text && ::stat(path.c_str(), &info) == 0 && (info.st_mode & 07777) == mode;
  if (mode == 0600) Paths::privateFolder(path.parent_path());
  if (same) return false;
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) throw PlatformError(error.message());
  writeAtomically(path, text, mode);
  return true;
}

std::filesystem::path resolveProgram(const std::string& program) {
  if (program.find('/') != std::string::npos) return program;
  const char* path = std::getenv("PATH");
  std::string_view folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    auto colon = folders.find(':');
    std::filesystem::path folder(folders.substr(0, colon));
    if (folder.empty()) folder = ".";
    if (isExecutable(folder / program)) return folder / program;
    if (colon == std::string_view::npos) break;
    folders.remove_prefix(colon + 1);
  }
  throw PlatformError(program + ": " + std::strerror(ENOENT));
}

}  // namespace

void spawnDetached(const std::vector<std::string>& argv) {
  std::string program = resolveProgram(argv.at(0)).string();
  auto args = argvPointers(argv);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) throw systemError(errno);
  pid_t middle = ::fork();
  if (middle < 0) {
    int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    throw systemError(error);
  }
  if (middle == 0) {
    // Only async-signal-safe calls from here on. The grandchild is adopted by init (or the
    // session's subreaper) as soon as the middle process exits, so it never becomes our zombie.
    pid_t started = ::fork();
    if (started < 0) {
      int error = errno;
      (void)!::write(report[1], &error, sizeof error);
      ::_exit(127);
    }
    if (started > 0) ::_exit(0);
    ::setsid();
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) ::signal(signal, SIG_DFL);
    ::execv(program.c_str(), args.data());
    int error = errno;
    (void)!::write(report[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof error)) throw PlatformError(program + ": " + std::strerror(error));
}

SystemdLoginItem::SystemdLoginItem(std::filesystem::path agentExecutable,
                                   std::optional<std::string> userBus,
                                   std::chrono::milliseconds stopWait)
    : agent_(std::filesystem::absolute(agentExecutable)),
      userBus_(std::move(userBus)),
      stopWait_(stopWait) {}

std::filesystem::path SystemdLoginItem::unitFile() {
  return configHome() / "systemd" / "user" / std::string(unitName);
}

std::filesystem::path SystemdLoginItem::autostartFile() {
  return configHome() / "autostart" / "trellisant-agent.desktop";
}

std::filesystem::path SystemdLoginItem::environmentFile() {
  return configHome() / "trellisant" / "agent.env";
}

std::filesystem::path SystemdLoginItem::besideSelf(std::string_view name) {
  std::error_code error;
  auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::path(name);
  return self.parent_path() / name;
}

std::optional<UserManager> SystemdLoginItem::userManager() const {
  auto manager = UserManager::connect(userBus_, stopWait_);
  if (manager && !manager->answers()) manager.reset();
  return manager;
}

LoginItemStatus SystemdLoginItem::status() {
  if (!isExecutable(agent_)) return LoginItemStatus::notFound;
  if (std::filesystem::exists(autostartFile())) return LoginItemStatus::enabled;
  auto manager = UserManager::connect(userBus_, stopWait_);
  if (!manager) return LoginItemStatus::notRegistered;
  try {
    auto state = manager->unitFileState(std::string(unitName));
    if (state == "enabled" || state == "enabled-runtime") return LoginItemStatus::enabled;
  } catch (const std::exception&) {
    // No unit file, or no manager on this bus: nothing starts the agent.
  }
  return LoginItemStatus::notRegistered;
}

void SystemdLoginItem::registerItem() {
  if (!isExecutable(agent_))
    throw PlatformError("The receiving helper is missing at " + agent_.string() + ".");
  if (auto manager = userManager()) {
    registerWithSystemd(*manager);
  } else {
    registerWithAutostart();
  }
}

void SystemdLoginItem::registerWithSystemd(UserManager& manager) {
  // An agent started by an earlier fallback registration would otherwise run twice.
  std::error_code ignored;
  if (std::filesystem::remove(autostartFile(), ignored)) stopAgents();
  bool changed = writeIfChanged(environmentFile(), environmentText(), 0600);
  changed = writeIfChanged(unitFile(), unitText(agent_, environmentFile())) || changed;
  const std::string unit(unitName);
  manager.enableUnitFile(unit);
  manager.reload();
  // A running agent keeps the folder and proxies it was started with.
  if (changed) {
    manager.restart(unit);
  } else {
    manager.start(unit);
  }
}

void SystemdLoginItem::registerWithAutostart() {
  bool changed = writeIfChanged(environmentFile(), environmentText(), 0600);
  if (writeIfChanged(autostartFile(), autostartText(agent_, environmentFile())) || changed) stopAgents();
  if (runningAgents().empty()) spawnDetached({agent_.string()});
}

void SystemdLoginItem::unregisterItem() {
  std::error_code ignored;
  if (std::filesystem::remove(autostartFile(), ignored)) stopAgents();
  std::filesystem::remove(environmentFile(), ignored);
  if (!std::filesystem::exists(unitFile())) return;
  if (auto manager = userManager()) {
    const std::string unit(unitName);
    manager->disableUnitFile(unit);
    manager->reload();
    manager->stop(unit);
  }
}

std::vector<int> SystemdLoginItem::runningAgents() const {
  std::vector<int> pids;
  std::error_code error;
  auto target = std::filesystem::weakly_canonical(agent_, error);
  if (error) target = agent_;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const auto name = entry.path().filename().string();
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    int pid = std::stoi(name);
    if (pid == ::getpid()) continue;
    std::error_code unreadable;  // other users' processes and vanished ones
    auto exe = std::filesystem::read_symlink(entry.path() / "exe", unreadable);
    if (!unreadable && exe == target) pids.push_back(pid);
  }
  return pids;
}

void SystemdLoginItem::stopAgents() {
  auto pids = runningAgents();
  for (int pid : pids) ::kill(pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + stopWait_;
  while (!pids.empty() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pids = runningAgents();
  }
  for (int pid : pids) ::kill(pid, SIGKILL);
}

void SystemdLoginItem::openSettings() {
  auto folder = std::filesystem::exists(autostartFile()) ? autostartFile().parent_path()
                                                         : unitFile().parent_path();
  try {
    spawnDetached({"xdg-open", folder.string()});
  } catch (const PlatformError&) {
    // No desktop to show it on; describe() gives the same place in words.
  }
}

std::string SystemdLoginItem::describe() {
  if (!isExecutable(agent_))
    return "The receiving helper is missing at " + agent_.string() + ".";
  auto pids = runningAgents();
  std::string running = pids.empty() ? "It is not running."
                                     : "It is running (process " + std::to_string(pids.front()) + ").";
  if (std::filesystem::exists(autostartFile()))
    return "Starts at login through the autostart entry " + autostartFile().string() + ". " + running;
  bool enabled = status() == LoginItemStatus::enabled;
  if (std::filesystem::exists(unitFile()))
    return std::string(enabled ? "Starts at login through" : "Not enabled:") +
           " the systemd user unit " + unitFile().string() + ". " + running;
  return "Not registered. Enabling receiving installs the systemd user unit " +
         unitFile().string() + ". " + running;
}

std::string desktopExecArgument(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n' || c == '\t' || c == '\r') {
      out += c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r";
      continue;
    }
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      // Not the text itself: it may be a proxy address with a password.
      throw PlatformError("A desktop entry cannot hold the control characters in this session's "
                          "folder, proxy settings or program path.");
    if (c == '"' || c == '`' || c == '$') out += "\\\\";
    if (c == '\\') out += "\\\\\\";
    if (c == '%') out.push_back('%');
    out.push_back(c);
  }
  return out + "\"";
}

}  // namespace trellisant

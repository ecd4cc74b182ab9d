#include "platform/login_item.h"

#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "error.h"
#include "fileio.h"
#include "platform/process_scan.h"
#include "platform/spawn.h"
#include "platform/unit_text.h"
#include "platform/user_manager.h"
#include "program.h"
#include "settings/paths.h"

namespace trellisant {
namespace {

// Writes the file unless it already holds `text` with `mode`; true when it changed. A private
// file goes in a folder that only the user can enter.
bool writeIfChanged(const std::filesystem::path& path, const std::string& text, mode_t mode = 0644) {
  struct stat info {};
  bool same = readFile(path) == text && ::stat(path.c_str(), &info) == 0 && (info.st_mode & 07777) == mode;
  if (mode == 0600) privateFolder(path.parent_path());
  if (same) return false;
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  if (error) throw PlatformError(error.message());
  writeAtomically(path, text, mode);
  return true;
}

}  // namespace

SystemdLoginItem::SystemdLoginItem(std::filesystem::path agentExecutable,
                                   std::optional<std::string> userBus,
                                   std::chrono::milliseconds stopWait)
    : agent_(std::filesystem::absolute(agentExecutable)),
      userBus_(std::move(userBus)),
      stopWait_(stopWait) {}

std::optional<UserManager> SystemdLoginItem::userManager() const {
  auto manager = UserManager::connect(userBus_, stopWait_);
  if (manager && !manager->answers()) manager.reset();
  return manager;
}

LoginItemStatus SystemdLoginItem::status() {
  if (!isExecutable(agent_)) return LoginItemStatus::notFound;
  if (std::filesystem::exists(Paths::autostartFile())) return LoginItemStatus::enabled;
  auto manager = UserManager::connect(userBus_, stopWait_);
  if (!manager) return LoginItemStatus::notRegistered;
  try {
    auto state = manager->unitFileState(std::string(Paths::agentUnit));
    if (state == "enabled" || state == "enabled-runtime") return LoginItemStatus::enabled;
  } catch (const std::exception&) {
    // No unit file, or no manager on this bus: nothing starts the agent.
  }
  return LoginItemStatus::notRegistered;
}

void SystemdLoginItem::registerItem() {
  if (!isExecutable(agent_))
    throw PlatformError("The agent is missing at " + agent_.string() + ".");
  if (auto manager = userManager()) {
    registerWithSystemd(*manager);
  } else {
    registerWithAutostart();
  }
}

void SystemdLoginItem::registerWithSystemd(UserManager& manager) {
  // An agent started by an earlier fallback registration would otherwise run twice.
  std::error_code ignored;
  if (std::filesystem::remove(Paths::autostartFile(), ignored)) stopAgents();
  const auto environment = Paths::agentEnvironmentFile();
  bool changed = writeIfChanged(environment, environmentText(), 0600);
  changed = writeIfChanged(Paths::userUnitFile(), userUnitText(agent_, pinnedUnitLines(environment))) || changed;
  const std::string unit(Paths::agentUnit);
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
  const auto environment = Paths::agentEnvironmentFile();
  bool changed = writeIfChanged(environment, environmentText(), 0600);
  if (writeIfChanged(Paths::autostartFile(), autostartText(agent_, environment)) || changed) stopAgents();
  if (runningAgents().empty()) spawnDetached({agent_.string()});
}

void SystemdLoginItem::unregisterItem() {
  std::error_code ignored;
  if (std::filesystem::remove(Paths::autostartFile(), ignored)) stopAgents();
  std::filesystem::remove(Paths::agentEnvironmentFile(), ignored);
  if (!std::filesystem::exists(Paths::userUnitFile())) return;
  if (auto manager = userManager()) {
    const std::string unit(Paths::agentUnit);
    manager->disableUnitFile(unit);
    manager->reload();
    manager->stop(unit);
  }
}

std::vector<int> SystemdLoginItem::runningAgents() const { return processesRunning(agent_); }

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
  auto folder = std::filesystem::exists(Paths::autostartFile()) ? Paths::autostartFile().parent_path()
                                                                : Paths::userUnitFile().parent_path();
  try {
    spawnDetached({"xdg-open", folder.string()});
  } catch (const PlatformError&) {
    // No desktop to show it on; describe() gives the same place in words.
  }
}

std::string SystemdLoginItem::describe() {
  if (!isExecutable(agent_))
    return "The agent is missing at " + agent_.string() + ".";
  auto pids = runningAgents();
  std::string running = pids.empty() ? "It is not running."
                                     : "It is running (process " + std::to_string(pids.front()) + ").";
  if (auto entry = Paths::autostartFile(); std::filesystem::exists(entry))
    return "Starts at login through the autostart entry " + entry.string() + ". " + running;
  bool enabled = status() == LoginItemStatus::enabled;
  if (std::filesystem::exists(Paths::userUnitFile()))
    return std::string(enabled ? "Starts at login through" : "Not enabled:") +
           " the systemd user unit " + Paths::userUnitFile().string() + ". " + running;
  return "Not registered. Enabling receiving installs the systemd user unit " +
         Paths::userUnitFile().string() + ". " + running;
}

}  // namespace trellisant

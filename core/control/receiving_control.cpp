#include "control/receiving_control.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "api/sign_in.h"
#include "control/readiness.h"
#include "settings/paths.h"
#include "unique_fd.h"

namespace trellisant {
namespace {

// Every edit of the preferences, in any of our programs, holds this lock from its read to its
// write, so edits of different fields made at the same time all survive. A file of its own:
// preferences.json is replaced at every save. Held for one edit only, and the kernel drops it
// when a holder dies; without a lock file the save reports the folder's fault.
UniqueFd lockPreferences() {
  auto file = Paths::preferencesLock();
  UniqueFd fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  while (fd && ::flock(fd.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
  return fd;
}

}  // namespace

ReceivingControl::ReceivingControl(std::shared_ptr<LoginItem> loginItem) : loginItem_(std::move(loginItem)) {}

bool ReceivingControl::serviceReady() const { return loginItem_->status() == LoginItemStatus::enabled; }

bool ReceivingControl::signedIn(const Preferences& preferences) { return hasDeviceSignIn(preferences); }

bool ReceivingControl::sameFolder(const Preferences& preferences, const std::filesystem::path& folder) {
  try {
    std::error_code error;
    auto current = std::filesystem::weakly_canonical(preferences.rootPath(), error);
    if (error) return false;
    auto chosen = std::filesystem::weakly_canonical(folder, error);
    return !error && current == chosen;
  } catch (const std::exception&) {
    return false;  // no folder yet, or it no longer resolves
  }
}

std::string_view ReceivingControl::chooseFolder(const std::filesystem::path& folder) {
  Preferences().setDestination(folder);  // refuse an unusable folder before anything changes
  bool unchanged = sameFolder(Preferences::load(), folder);
  if (!unchanged) {
    pause();
    stopAgent();
  }
  saveFolder(folder, unchanged);
  return unchanged ? folderCheckedNotice : folderChangedNotice;
}

Preferences ReceivingControl::saveFolder(const std::filesystem::path& folder, bool unchanged) {
  return edit([&](Preferences& preferences) {
    preferences.setDestination(folder);
    if (!unchanged) preferences.receiving = false;
  });
}

void ReceivingControl::stopAgent() {
  if (loginItem_->status() != LoginItemStatus::notRegistered) loginItem_->unregisterItem();
}

Preferences ReceivingControl::edit(const std::function<void(Preferences&)>& change) {
  UniqueFd lock = lockPreferences();
  Preferences preferences = Preferences::load();
  change(preferences);
  preferences.save(Paths::preferencesFile());
  return preferences;
}

Preferences ReceivingControl::enable() {
  Preferences preferences = Preferences::load();
  if (!signedIn(preferences)) throw TrellisantError(std::string(signInFirstMessage));
  if (!preferences.destination) throw FolderMissing();
  registerAgent();
  return edit([](Preferences& p) { p.receiving = true; });
}

void ReceivingControl::registerAgent() {
  try {
    loginItem_->registerItem();
  } catch (const std::exception& error) {
    throw TrellisantError("Background access needs attention. " + userMessage(error));
  }
}

Preferences ReceivingControl::pause() {
  return edit([](Preferences& p) { p.receiving = false; });
}

std::exception_ptr ReceivingControl::signOut(std::stop_token stop) {
  Preferences preferences = pause();
  std::exception_ptr stopFailure;
  try {
    loginItem_->unregisterItem();
  } catch (const std::exception&) {
    stopFailure = std::current_exception();
  }
  trellisant::signOut(preferences, stop);
  return stopFailure;
}

AgentStatus ReceivingControl::shownStatus(const std::function<std::optional<AgentStatus>()>& askAgent,
                                          Date now) const {
  Preferences preferences = Preferences::load();
  bool ready = serviceReady();
  std::optional<AgentStatus> answer;
  if (ready) answer = askAgent();
  return shownStatus(answer, preferences, ready, now);
}

AgentStatus ReceivingControl::shownStatus(const std::optional<AgentStatus>& agentAnswer,
                                          const Preferences& preferences, bool serviceReady,
                                          Date now) {
  AgentStatus shown = serviceReady && agentAnswer ? *agentAnswer : AgentStatus::load();
  return applyStatusOverrides(std::move(shown), preferences, serviceReady, now);
}

void ReceivingControl::testReadiness(const std::function<AgentStatus()>& refreshedStatus,
                                     std::stop_token stop) const {
  Preferences preferences = Preferences::load();
  trellisant::testReadiness(preferences, signedIn(preferences), serviceReady(), refreshedStatus, stop);
}

}  // namespace trellisant

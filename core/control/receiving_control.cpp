#include "control/receiving_control.h"

#include "api/sign_in.h"
#include "control/readiness.h"

namespace trellisant {
ReceivingControl::ReceivingControl(std::shared_ptr<LoginItem> loginItem) : loginItem_(std::move(loginItem)) {}

bool ReceivingControl::serviceReady() const { return loginItem_->status() == LoginItemStatus::enabled; }

bool ReceivingControl::signedIn(const Preferences& preferences) { return hasDeviceSignIn(preferences); }

bool ReceivingControl::sameFolder(const Preferences& preferences, const std::filesystem::path& folder) {
  try {
    std::error_code error;
    auto current = std::filesystem::weakly_canonical(preferences.rootURL(), error);
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
  Preferences preferences = Preferences::load();
  change(preferences);
  preferences.save(Preferences::file());
  return preferences;
}

Preferences ReceivingControl::enable() {
  Preferences preferences = Preferences::load();
  if (!signedIn(preferences)) throw TrellisantError(std::string(signInFirstMessage));
  if (!preferences.destination) throw FolderMissing();
  try {
    loginItem_->registerItem();
  } catch (const std::exception& error) {
    throw TrellisantError("Background access needs attention. " + userMessage(error));
  }
  return edit([](Preferences& p) { p.receiving = true; });
}

Preferences ReceivingControl::pause() {
  return edit([](Preferences& p) { p.receiving = false; });
}

AgentStatus ReceivingControl::shownStatus(const std::function<std::optional<AgentStatus>()>& askAgent,
                                          Date now) const {
  Preferences preferences = Preferences::load();
  bool ready = serviceReady();
  std::optional<AgentStatus> status;
  if (ready) status = askAgent();
  return applyStatusOverrides(status.value_or(AgentStatus::load()), preferences, ready, now);
}

void ReceivingControl::testReadiness(const std::function<AgentStatus()>& refreshedStatus,
                                     std::stop_token stop) const {
  Preferences preferences = Preferences::load();
  trellisant::testReadiness(preferences, signedIn(preferences), serviceReady(), refreshedStatus, stop);
}

}  // namespace trellisant

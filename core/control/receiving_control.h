#pragma once

#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "control/agent_status.h"
#include "platform/login_item.h"
#include "clock.h"
#include "error.h"
#include "settings/preferences.h"

namespace trellisant {

// Enabling without a download folder: the window opens its folder chooser instead, and
// trellisantctl names the command that chooses one.
class FolderMissing : public TrellisantError {
 public:
  FolderMissing() : TrellisantError("Choose a download folder first.") {}
};

// The receiving operations the window and trellisantctl share, with their sentences. They
// read and write the preferences file; those that touch the login item block until it
// answers, so the app runs them off its UI thread.
class ReceivingControl {
 public:
  static constexpr std::string_view folderCheckedNotice = "Download folder checked and saved.";
  static constexpr std::string_view folderChangedNotice =
      "Folder saved. Enable receiving when you are ready. Existing files stay in their original "
      "folder.";
  static constexpr std::string_view receivingOnNotice = "Receiving is on.";
  static constexpr std::string_view signInFirstMessage = "Sign in before enabling receiving.";

  explicit ReceivingControl(std::shared_ptr<LoginItem> loginItem);

  LoginItem& loginItem() const { return *loginItem_; }
  // The agent is registered and enabled.
  bool serviceReady() const;
  // A device sign-in for the configured server is stored.
  static bool signedIn(const Preferences& preferences);

  // Saves `folder` as the download folder (throws when it cannot be one). Another folder than
  // before turns receiving off on disk first and then stops the agent, so it never writes
  // into a folder the user has not yet confirmed by enabling. Returns the notice to show.
  std::string_view chooseFolder(const std::filesystem::path& folder);

  // Applies `change` to the preferences as the file holds them now and saves them, under a lock
  // every program's edit takes; returns what was saved.
  static Preferences edit(const std::function<void(Preferences&)>& change);

  // Needs a device sign-in and a folder; registers the agent, then turns receiving on.
  Preferences enable();
  // Registers the agent alone, receiving as it is; its failure says background access needs
  // attention.
  void registerAgent();
  // Receiving off; a registered agent keeps running and pauses.
  static Preferences pause();
  // Receiving off and the agent stopped, then this computer revoked on the server and its
  // sign-in deleted; throws the revoke's failure, the sign-in then kept. An agent that would not
  // stop does not hold the sign-out back: that failure is returned, to report afterwards.
  std::exception_ptr signOut(std::stop_token stop = {});

  // The status to show: the agent's own answer when it is registered (else the status file),
  // with the overrides for paused, unregistered and silent agents.
  AgentStatus shownStatus(const std::function<std::optional<AgentStatus>()>& askAgent,
                          Date now = SystemClock::now()) const;
  // The same from what a caller already knows: the agent's last answer (used while it is
  // registered) and whether it is.
  static AgentStatus shownStatus(const std::optional<AgentStatus>& agentAnswer,
                                 const Preferences& preferences, bool serviceReady, Date now);
  // The readiness test with this computer's sign-in and agent; throws its failure.
  void testReadiness(const std::function<AgentStatus()>& refreshedStatus, std::stop_token stop = {}) const;

 private:
  // Whether `folder` is the download folder already in use, links resolved.
  static bool sameFolder(const Preferences& preferences, const std::filesystem::path& folder);
  // Stores the folder into the preferences as they are by then, so settings saved meanwhile
  // are kept.
  static Preferences saveFolder(const std::filesystem::path& folder, bool unchanged);
  void stopAgent();

  std::shared_ptr<LoginItem> loginItem_;
};

}  // namespace trellisant

#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QObject>
#include <QString>
#include <QTimer>

#include "control/agent_status.h"
#include "control/transfer_rate.h"
#include "history/received_history.h"
#include "api/sign_in.h"
#include "app_parts.h"
#include "background_tasks.h"
#include "settings/preferences.h"

Q_DECLARE_METATYPE(trellisant::Preferences)
Q_DECLARE_METATYPE(trellisant::AgentStatus)

namespace trellisant {
class ReceivingControl;
}

namespace trellisant::app {

// The app's one state object. The window and the tray menu read its properties and call its
// operations; every property lives on the UI thread, and blocking work runs on background
// threads whose results come back to that thread before they touch a property. Operations
// report failures through `error` (and `status`) only.
class AppModel : public QObject {
  Q_OBJECT
  Q_PROPERTY(trellisant::Preferences preferences READ preferences NOTIFY preferencesChanged)
  Q_PROPERTY(trellisant::AgentStatus status READ status NOTIFY statusChanged)
  Q_PROPERTY(bool signedIn READ signedIn NOTIFY signedInChanged)
  Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
  Q_PROPERTY(QString error READ error NOTIFY errorChanged)
  Q_PROPERTY(Section selected READ selected WRITE setSelected NOTIFY selectedChanged)
  Q_PROPERTY(bool serviceReady READ serviceReady NOTIFY serviceReadyChanged)
  Q_PROPERTY(bool choosingFolder READ choosingFolder NOTIFY choosingFolderChanged)
  Q_PROPERTY(QString folderNotice READ folderNotice NOTIFY folderNoticeChanged)

 public:
  // The window's sections, in the sidebar's order.
  enum class Section { downloads, settings };
  Q_ENUM(Section)

  explicit AppModel(AppParts parts = AppParts::system(), QObject* parent = nullptr);
  ~AppModel() override;

  const Preferences& preferences() const { return preferences_; }
  const AgentStatus& status() const { return status_; }
  bool signedIn() const { return signedIn_; }
  // The stored sign-in was read (it is read off the UI thread at start), or a sign-in or
  // sign-out has ended since.
  bool signInKnown() const { return signInKnown_; }
  bool busy() const { return busy_; }
  QString error() const { return error_; }
  Section selected() const { return selected_; }
  bool serviceReady() const { return serviceReady_; }
  bool choosingFolder() const { return choosingFolder_; }
  QString folderNotice() const { return folderNotice_; }
  // The newest received deliveries, newest first, read again whenever the status changes.
  const std::vector<ReceivedDelivery>& received() const { return received_; }
  // The speed of the delivery the status shows, from the records seen so far.
  const RateEstimate& rate() const { return rate_.estimate(); }
  // How many received deliveries the window lists.
  static constexpr std::int64_t receivedShown = 5;
  // Whether a sign-in waits for the browser's callback.
  bool awaitingSignIn() const { return static_cast<bool>(authorizationContinuation_); }

  void setSelected(Section section);

  // Reads the settings again (trellisantctl may have changed them) and the agent's state: the
  // local overrides at once, with the login item as it last answered; then, off the UI thread,
  // the login item, and the agent when its login item is enabled (else the status file). Their
  // answers arrive later.
  void refresh();
  // Applies an edit to the settings as the file holds them now (trellisantctl may have changed
  // others) and saves them.
  void changePreferences(const std::function<void(Preferences&)>& edit);
  void chooseFolder();
  void enable();
  void stop(bool quit);
  // The window's pause button: receiving off, save, refresh. The tray's leaves out the refresh.
  void pauseReceiving(bool refreshAfter = true);
  void testReadiness();

  void signIn();
  void cancelSignIn();
  void receiveSignIn(const QString& url);
  void signOut();

  // Opens the configured server in the browser when it is a URL.
  void openWebsite();
  // Checks that a notification server answers and posts a short confirmation; otherwise
  // `error` says why notifications cannot be shown.
  void allowNotifications();
  // Registers or unregisters the agent alone, receiving as it is, as the desktop's own settings
  // would switch it; `done` runs on the UI thread afterwards.
  void setAgentRegistered(bool enabled, std::function<void()> done = {});
  // The agent's login item: its state and its description for people, read off the UI thread;
  // `done` runs on it with them.
  void describeAgentLoginItem(std::function<void(LoginItemStatus, const std::string&)> done);
  // Shows where the desktop keeps the agent's login item.
  void openBackgroundSettings();
  // Shows a received delivery's folder in the file manager; a failure goes to `error`.
  void openReceivedFolder(const ReceivedDelivery& delivery);

 signals:
  void preferencesChanged();
  void statusChanged();
  void signedInChanged();
  void busyChanged();
  void errorChanged();
  void selectedChanged();
  void serviceReadyChanged();
  void choosingFolderChanged();
  void folderNoticeChanged();
  void receivedChanged();
  // Any of the above.
  void changed();

 private:
  void setPreferences(const Preferences& preferences);
  void setStatus(const AgentStatus& status);
  void setSignedIn(bool value);
  void setBusy(bool value);
  void setError(const QString& text);
  void setErrorFrom(const std::exception_ptr& failure);
  void setServiceReady(bool value);
  void setChoosingFolder(bool value);
  void setFolderNotice(const QString& text);
  void readReceived();

  // Sets the preferences `save` returns; its failure goes to `error`.
  void savePreferences(const std::function<Preferences()>& save);
  void readSignIn();
  void applyChosenFolder(const std::filesystem::path& folder);
  void showStatus();
  void checkService();
  // After this model registered or unregistered the agent: refresh with a fresh answer only.
  void serviceChanged();
  void applyServiceReady(bool ready);
  void requestAgentStatus();
  void waitForCallback(const SignInFlow::Pending& pending, std::shared_ptr<CallbackWaiter> waiter,
                       const std::string& server);
  void finishSignIn(const std::exception_ptr& failure);

  AppParts parts_;
  std::shared_ptr<ReceivingControl> control_;
  Preferences preferences_;
  AgentStatus status_;
  bool signedIn_ = false;
  bool signInKnown_ = false;
  bool busy_ = false;
  QString error_;
  Section selected_ = Section::downloads;
  bool serviceReady_ = false;
  bool choosingFolder_ = false;
  QString folderNotice_;
  std::vector<ReceivedDelivery> received_;
  RateEstimator rate_;

  // The suspended sign-in, waiting for the browser's callback; resumed exactly once.
  std::shared_ptr<CallbackWaiter> authorizationContinuation_;
  std::optional<std::string> authorizationState_;
  bool statusRequestPending_ = false;
  // The login item has answered once; before that, "not enabled" would be a guess.
  bool serviceKnown_ = false;
  bool serviceCheckPending_ = false;
  bool serviceCheckAgain_ = false;
  unsigned serviceChanges_ = 0;
  bool enabling_ = false;
  QTimer timer_;
  BackgroundTasks tasks_{this};  // last: stopped and joined before the rest goes
};

// The section's name, as its sidebar entry and the window's header show it.
QString sectionTitle(AppModel::Section section);

}  // namespace trellisant::app

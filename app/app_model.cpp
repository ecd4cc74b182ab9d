#include "app_model.h"

#include <utility>

#include <QPointer>

#include "url.h"
#include "control/receiving_control.h"
#include "error.h"
#include "qt_convert.h"
#include "control/readiness.h"
#include "settings/vault.h"

namespace trellisant::app {

AppModel::AppModel(AppParts parts, QObject* parent)
    : QObject(parent),
      parts_(std::move(parts)),
      control_(std::make_shared<ReceivingControl>(parts_.loginItem)) {
  preferences_ = Preferences::load();
  status_ = AgentStatus::load();
  rate_.add(status_);
  readSignIn();
  readReceived();
  timer_.setInterval(parts_.refreshInterval);
  connect(&timer_, &QTimer::timeout, this, &AppModel::refresh);
  timer_.start();
  refresh();
}

AppModel::~AppModel() = default;

// ---- published fields

void AppModel::setPreferences(const Preferences& preferences) {
  if (preferences_ == preferences) return;
  preferences_ = preferences;
  emit preferencesChanged();
  emit changed();
}

void AppModel::setStatus(const AgentStatus& status) {
  if (status_ == status) return;
  status_ = status;
  rate_.add(status_);
  readReceived();
  emit statusChanged();
  emit changed();
}

void AppModel::setSignedIn(bool value) {
  signInKnown_ = true;
  if (signedIn_ == value) return;
  signedIn_ = value;
  emit signedInChanged();
  emit changed();
}

void AppModel::setBusy(bool value) {
  if (busy_ == value) return;
  busy_ = value;
  emit busyChanged();
  emit changed();
}

void AppModel::setError(const QString& text) {
  if (error_ == text) return;
  error_ = text;
  emit errorChanged();
  emit changed();
}

void AppModel::setErrorFrom(const std::exception_ptr& failure) { setError(toQString(userMessage(failure))); }

void AppModel::setSelected(Section section) {
  if (selected_ == section) return;
  selected_ = section;
  emit selectedChanged();
  emit changed();
}

void AppModel::setServiceReady(bool value) {
  if (serviceReady_ == value) return;
  serviceReady_ = value;
  emit serviceReadyChanged();
  emit changed();
}

void AppModel::setChoosingFolder(bool value) {
  if (choosingFolder_ == value) return;
  choosingFolder_ = value;
  emit choosingFolderChanged();
  emit changed();
}

void AppModel::setFolderNotice(const QString& text) {
  if (folderNotice_ == text) return;
  folderNotice_ = text;
  emit folderNoticeChanged();
  emit changed();
}

void AppModel::readReceived() {
  std::vector<ReceivedDelivery> list;
  try {
    list = ReceivedHistory().recent(receivedShown);
  } catch (const std::exception&) {
    return;  // the list as it was: the agent may be writing it
  }
  if (list == received_) return;
  received_ = std::move(list);
  emit receivedChanged();
  emit changed();
}

void AppModel::openReceivedFolder(const ReceivedDelivery& delivery) {
  try {
    parts_.openFolder(delivery.folder);
  } catch (const std::exception& failure) {
    setError(toQString(userMessage(failure)));
  }
}

void AppModel::readSignIn() {
  // The keyring can take long to answer, or never: the window shows the signed-out state
  // meanwhile rather than freeze.
  using Stored = std::optional<Credentials>;
  tasks_.run<Stored>([](std::stop_token) { return Vault::read(); }, [this](Outcome<Stored> stored) {
    if (signInKnown_) return;  // a sign-in or sign-out has decided since
    // An unreadable store counts as signed out; signing in again replaces it.
    const Stored& credentials = stored.ok() ? *stored.value : Stored();
    setSignedIn(credentials && credentials->deviceKey && credentials->matches(preferences_.server));
  });
}

// ---- status

void AppModel::refresh() {
  // trellisantctl may have changed a setting since.
  setPreferences(Preferences::load());
  showStatus();
  checkService();
}

void AppModel::showStatus() {
  if (!serviceKnown_ && preferences_.receiving) return;
  setStatus(ReceivingControl::shownStatus(status_, preferences_, serviceReady_, parts_.now()));
}

void AppModel::checkService() {
  // The login item can take seconds to answer (a busy user manager): one question at a time,
  // and one more afterwards for the refreshes that came meanwhile.
  if (serviceCheckPending_) {
    serviceCheckAgain_ = true;
    return;
  }
  serviceCheckPending_ = true;
  auto control = control_;
  tasks_.run<bool>([control](std::stop_token) { return control->serviceReady(); },
                   [this, changes = serviceChanges_](Outcome<bool> ready) {
                     serviceCheckPending_ = false;
                     // An answer from before this model changed the login item is stale.
                     if (ready.ok() && changes == serviceChanges_) applyServiceReady(*ready.value);
                     if (std::exchange(serviceCheckAgain_, false)) checkService();
                   });
}

void AppModel::serviceChanged() {
  serviceKnown_ = false;
  ++serviceChanges_;
  refresh();
}

void AppModel::applyServiceReady(bool ready) {
  serviceKnown_ = true;
  setServiceReady(ready);
  // The agent answers later; the overrides below see the value current now.
  if (serviceReady_) requestAgentStatus();
  showStatus();
}

void AppModel::requestAgentStatus() {
  // One question at a time: an agent that does not answer must not pile up threads.
  if (statusRequestPending_) return;
  statusRequestPending_ = true;
  auto ask = parts_.agentStatus;
  tasks_.run<std::optional<AgentStatus>>(
      [ask](std::stop_token) { return ask(); },
      [this](Outcome<std::optional<AgentStatus>> answer) {
        statusRequestPending_ = false;
        if (answer.value && *answer.value) setStatus(**answer.value);
      });
}

// ---- settings

void AppModel::savePreferences(const std::function<Preferences()>& save) {
  try {
    setPreferences(save());
  } catch (const std::exception& failure) {
    setError(toQString(userMessage(failure)));
    emit changed();  // the controls go back to the settings as they still are
  }
}

void AppModel::changePreferences(const std::function<void(Preferences&)>& edit) {
  savePreferences([&edit] { return ReceivingControl::edit(edit); });
}

void AppModel::pauseReceiving(bool refreshAfter) {
  savePreferences(&ReceivingControl::pause);
  if (refreshAfter) refresh();
}

// ---- folder

void AppModel::chooseFolder() {
  if (choosingFolder_ || busy_) return;
  setChoosingFolder(true);
  setError({});
  if (parts_.activate) parts_.activate();
  std::optional<std::filesystem::path> start;
  try {
    start = preferences_.rootPath();
  } catch (const std::exception&) {
  }
  QPointer<AppModel> self(this);
  parts_.folderChooser->choose(start, [self](std::optional<std::filesystem::path> folder) {
    if (!self) return;
    if (!folder) {
      self->setChoosingFolder(false);
      return;
    }
    self->applyChosenFolder(*folder);
  });
}

void AppModel::applyChosenFolder(const std::filesystem::path& folder) {
  auto control = control_;
  tasks_.run<std::string_view>(
      [control, folder](std::stop_token) { return control->chooseFolder(folder); },
      [this](Outcome<std::string_view> notice) {
        if (notice.ok()) setFolderNotice(toQString(*notice.value));
        else setErrorFrom(notice.error);
        // Another folder stopped the agent: only a fresh answer from its login item counts.
        if (notice.ok() && *notice.value == ReceivingControl::folderCheckedNotice) refresh();
        else serviceChanged();
        setChoosingFolder(false);
      });
}

// ---- receiving

void AppModel::enable() {
  if (choosingFolder_ || enabling_) return;
  setError({});
  if (!signedIn_) {
    setError(toQString(ReceivingControl::signInFirstMessage));
    return;
  }
  if (!preferences_.destination) {
    QMetaObject::invokeMethod(this, &AppModel::chooseFolder, Qt::QueuedConnection);
    return;
  }
  enabling_ = true;
  auto control = control_;
  tasks_.run<Preferences>([control](std::stop_token) { return control->enable(); },
                          [this](Outcome<Preferences> enabled) {
                            enabling_ = false;
                            if (enabled.ok()) {
                              setPreferences(*enabled.value);
                              setFolderNotice({});
                            } else {
                              setErrorFrom(enabled.error);
                            }
                            serviceChanged();
                          });
}

void AppModel::stop(bool quit) {
  pauseReceiving(false);
  auto control = control_;
  tasks_.run<bool>(
      [control](std::stop_token) {
        control->loginItem().unregisterItem();
        return true;
      },
      [this, quit](Outcome<bool> unregistered) {
        if (!unregistered.ok()) setErrorFrom(unregistered.error);
        serviceChanged();
        if (quit && parts_.quit) parts_.quit();
      });
}

// ---- desktop

void AppModel::openWebsite() {
  auto url = Url::parse(preferences_.server);
  if (!url || !url->scheme || !url->host) return;
  parts_.browser->open(preferences_.server);
}

void AppModel::allowNotifications() {
  auto available = parts_.notificationsAvailable;
  auto notifier = parts_.notifier;
  tasks_.run<bool>(
      [available, notifier](std::stop_token) {
        if (!available()) return false;
        notifier->post("com.trellisant.notifications", "Notifications are on",
                       "Trellisant will tell you when footage is ready.");
        return true;
      },
      [this](Outcome<bool> shown) {
        if (!shown.ok()) {
          setErrorFrom(shown.error);
        } else if (!*shown.value) {
          setError(QStringLiteral("Notifications cannot be shown because no notification service "
                                  "is running on this desktop."));
        }
      });
}

void AppModel::setAgentRegistered(bool enabled, std::function<void()> done) {
  auto control = control_;
  tasks_.run<bool>(
      [control, enabled](std::stop_token) {
        if (enabled) control->registerAgent();
        else control->loginItem().unregisterItem();
        return true;
      },
      [this, done](Outcome<bool> outcome) {
        if (!outcome.ok()) setErrorFrom(outcome.error);
        serviceChanged();
        if (done) done();
      });
}

void AppModel::describeAgentLoginItem(
    std::function<void(LoginItemStatus, const std::string&)> done) {
  using Description = std::pair<LoginItemStatus, std::string>;
  auto item = parts_.loginItem;
  tasks_.run<Description>([item](std::stop_token) { return Description(item->status(), item->describe()); },
                          [done](Outcome<Description> answer) {
                            if (answer.ok()) done(answer.value->first, answer.value->second);
                          });
}

void AppModel::openBackgroundSettings() {
  auto item = parts_.loginItem;
  tasks_.run<bool>(
      [item](std::stop_token) {
        item->openSettings();
        return true;
      },
      [](Outcome<bool>) {});
}

QString sectionTitle(AppModel::Section section) {
  return section == AppModel::Section::settings ? QStringLiteral("Settings")
                                                : QStringLiteral("Downloads");
}

}  // namespace trellisant::app

#include "app_fakes.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QLineEdit>

#include "api/http_testing.h"
#include "settings/vault.h"
#include "widgets.h"

namespace trellisant::testing {

void runEventsWhileWaiting() {
  setWaitStep([](std::chrono::milliseconds) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
}

void settle(std::chrono::milliseconds duration) { waitUntil([] { return false; }, duration); }

QStringList allTexts(const QObject* root) {
  QStringList texts;
  for (auto* object : root->findChildren<QObject*>()) {
    if (auto* label = qobject_cast<QLabel*>(object)) texts << label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(object)) texts << button->text();
    if (auto* field = qobject_cast<QLineEdit*>(object)) texts << field->placeholderText();
    if (auto* stepper = qobject_cast<app::Stepper*>(object)) texts << stepper->text();
    if (auto* action = qobject_cast<QAction*>(object)) texts << action->text();
    if (auto* widget = qobject_cast<QWidget*>(object)) texts << widget->toolTip();
  }
  return texts;
}

QAbstractButton* visibleButton(QWidget* root, const QString& text) {
  for (auto* button : root->findChildren<QAbstractButton*>())
    if (button->isVisibleTo(root) && button->text() == text) return button;
  return nullptr;
}

QString labelText(QWidget* root, const QString& name) {
  for (auto* widget : root->findChildren<QWidget*>(name)) {
    if (!widget->isVisibleTo(root)) continue;
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    for (auto* label : widget->findChildren<QLabel*>())
      if (!label->text().isEmpty()) return label->text();
  }
  return {};
}

// Requests go to loopback servers only, never through the user's proxy.
AppStage::AppStage() { http::testing::setOverrides({{}, ""}); }

AppStage::~AppStage() {
  model.reset();
  Vault::setStore(nullptr);
  http::testing::clearOverrides();
}

app::AppServices AppStage::services() {
  app::AppServices services;
  services.loginItem = loginItem;
  services.agentStatus = [this] {
    ++agentQuestions;
    std::lock_guard lock(agentMutex_);
    return agentAnswer_;
  };
  services.now = [this] { return now; };
  services.browser = browser;
  services.folderChooser = chooser;
  services.notificationsAvailable = [this] { return notificationServer.load(); };
  services.quit = [this] { ++quits; };
  services.activate = [this] { ++activations; };
  services.trayAvailable = [this] { return tray; };
  services.refreshInterval = std::chrono::hours(1);  // only explicit refreshes
  services.signInTimeLimit = signInTimeLimit;
  return services;
}

app::AppModel& AppStage::makeModel() {
  model = std::make_unique<app::AppModel>(services());
  return *model;
}

void AppStage::agentSays(std::optional<AgentStatus> status) {
  std::lock_guard lock(agentMutex_);
  agentAnswer_ = std::move(status);
}

void AppStage::storeCredentials(bool withDeviceKey, const std::string& server) {
  Credentials credentials;
  credentials.server = server;
  credentials.accessToken = "access";
  credentials.refreshToken = "refresh";
  credentials.clientId = "trellisant-native";
  credentials.expiresAt = SystemClock::now() + std::chrono::hours(1);
  if (withDeviceKey) {
    credentials.deviceId = "device-1";
    credentials.deviceKey = "key-1";
  }
  Vault::save(credentials);
}

void AppStage::writePreferences(const std::function<void(Preferences&)>& edit) {
  Preferences preferences = Preferences::load();
  edit(preferences);
  preferences.save(Preferences::file());
}

std::filesystem::path AppStage::folder(const std::string& name) {
  auto path = home.root() / name;
  std::filesystem::create_directories(path);
  return path;
}

std::filesystem::path AppStage::receiving() {
  storeCredentials(true);
  auto root = folder("Footage");
  writePreferences([&](Preferences& p) {
    p.setDestination(root);
    p.receiving = true;
  });
  loginItem->set(LoginItemStatus::enabled);
  return root;
}

sandbox::CompanyServer& AppStage::startCompany() {
  sandbox::CompanyServer::Options options;
  options.tlsFolder = home.root() / "tls";
  company = std::make_unique<sandbox::CompanyServer>(options);
  company->start();
  http::testing::setOverrides({{"trellisant.test:" + std::to_string(company->port()) + ":127.0.0.1"},
                               (options.tlsFolder / "ca.pem").string()});
  writePreferences([&](Preferences& p) { p.server = company->baseUrl(); });
  return *company;
}

}  // namespace trellisant::testing

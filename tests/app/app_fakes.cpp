#include "app_fakes.h"

#include <thread>

#include <QCoreApplication>

#include "api/http_testing.h"
#include "error.h"
#include "settings/vault.h"

namespace trellisant::testing {

LoginItemStatus FakeLoginItem::status() {
  noteThread();
  std::lock_guard lock(mutex_);
  return status_;
}

void FakeLoginItem::registerItem() {
  noteThread();
  std::lock_guard lock(mutex_);
  ++registrations_;
  if (registerFailure_) throw PlatformError(*registerFailure_);
  status_ = LoginItemStatus::enabled;
}

void FakeLoginItem::unregisterItem() {
  noteThread();
  std::lock_guard lock(mutex_);
  ++unregistrations_;
  if (unregisterFailure_) throw PlatformError(*unregisterFailure_);
  status_ = LoginItemStatus::notRegistered;
}

void FakeLoginItem::setStatus(LoginItemStatus status) {
  std::lock_guard lock(mutex_);
  status_ = status;
}

void FakeLoginItem::failRegister(std::optional<std::string> message) {
  std::lock_guard lock(mutex_);
  registerFailure_ = std::move(message);
}

void FakeLoginItem::failUnregister(std::optional<std::string> message) {
  std::lock_guard lock(mutex_);
  unregisterFailure_ = std::move(message);
}

void FakeFolderChooser::choose(const std::optional<std::filesystem::path>& from,
                               std::function<void(std::optional<std::filesystem::path>)> done) {
  ++opened;
  start = from;
  done_ = std::move(done);
}

void FakeFolderChooser::answer(std::optional<std::filesystem::path> folder) {
  auto done = std::move(done_);
  done_ = nullptr;
  ASSERT_TRUE(done) << "the chooser is not open";
  done(std::move(folder));
}

bool FakeBrowser::open(const std::string& url) {
  std::lock_guard lock(mutex_);
  opened_.push_back(url);
  return works;
}

std::vector<std::string> FakeBrowser::opened() const {
  std::lock_guard lock(mutex_);
  return opened_;
}

void FakeNotifier::post(const std::string&, const std::string& title, const std::string&) {
  std::lock_guard lock(mutex_);
  titles_.push_back(title);
}

std::vector<std::string> FakeNotifier::titles() const {
  std::lock_guard lock(mutex_);
  return titles_;
}

void runEventsWhileWaiting() {
  setWaitStep([](std::chrono::milliseconds) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
}

void settle(std::chrono::milliseconds duration) {
  waitUntil([] { return false; }, duration);
}

AppModelTest::AppModelTest() {
  // Requests go to loopback servers only, never through the user's proxy.
  http::testing::setOverrides({{}, ""});
}

AppModelTest::~AppModelTest() {
  model.reset();
  EXPECT_EQ(loginItem->callsOnUiThread(), 0) << "the app waited for the login item on its UI thread";
  Vault::setStore(nullptr);
  http::testing::clearOverrides();
}

app::AppServices AppModelTest::services() {
  app::AppServices services;
  services.loginItem = loginItem;
  services.agentStatus = [this] {
    ++agentQuestions;
    std::lock_guard lock(agentMutex);
    return agentAnswer;
  };
  services.now = [this] { return now; };
  services.browser = browser;
  services.folderChooser = chooser;
  services.notifier = notifier;
  services.notificationsAvailable = [this] { return notificationServer.load(); };
  services.quit = [this] { ++quits; };
  services.activate = [this] { ++activations; };
  services.trayAvailable = [this] { return tray; };
  // Long enough that only explicit refresh() calls happen during a test.
  services.refreshInterval = std::chrono::hours(1);
  services.signInTimeLimit = signInTimeLimit;
  return services;
}

app::AppModel& AppModelTest::makeModel() {
  model = std::make_unique<app::AppModel>(services());
  return *model;
}

void AppModelTest::storeCredentials(bool withDeviceKey, const std::string& server) {
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

void AppModelTest::writePreferences(const std::function<void(Preferences&)>& edit) {
  Preferences preferences = Preferences::load();
  edit(preferences);
  preferences.save(Preferences::file());
}

Preferences AppModelTest::preferencesOnDisk() const { return Preferences::load(); }

void AppModelTest::writeStatusFile(const AgentStatus& status) { status.save(); }

std::filesystem::path AppModelTest::folder(const std::string& name) {
  auto path = home.root() / name;
  std::filesystem::create_directories(path);
  return path;
}

std::filesystem::path AppModelTest::receiving() {
  storeCredentials(true);
  auto root = folder("Footage");
  writePreferences([&](Preferences& p) {
    p.setDestination(root);
    p.receiving = true;
  });
  loginItem->setStatus(LoginItemStatus::enabled);
  return root;
}

}  // namespace trellisant::testing

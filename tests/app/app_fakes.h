#pragma once

// Stand-ins for everything the app model reaches outside itself, and a stage that builds a
// model on them inside a private home folder: used by the tests and the screenshots tool.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QStringList>

#include <atomic>
#include <mutex>

#include "api/http_testing.h"
#include "app_model.h"
#include "company_fixture.h"
#include "control/receiving_control.h"
#include "fake_login_item.h"
#include "settings/vault.h"
#include "test_support.h"
#include "theme.h"
#include "widgets.h"

namespace trellisant::testing {

// Runs the event loop for a while, for asserting that something does NOT happen.
inline void settle(std::chrono::milliseconds duration = std::chrono::milliseconds(100)) {
  waitUntil([] { return false; }, duration);
}
// The texts a widget tree shows in its present state: of the labels, buttons, fields, steppers,
// tool tips and menu items that are visible with the tree shown (hidden ones are left out).
inline QStringList shownTexts(const QWidget* root) {
  QStringList texts;
  for (auto* object : root->findChildren<QObject*>()) {
    if (auto* action = qobject_cast<QAction*>(object); action && action->isVisible()) texts << action->text();
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget || !widget->isVisibleTo(root)) continue;
    if (auto* label = qobject_cast<QLabel*>(object)) texts << label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(object)) texts << button->text();
    if (auto* field = qobject_cast<QLineEdit*>(object)) texts << field->placeholderText();
    if (auto* stepper = qobject_cast<app::Stepper*>(object)) texts << stepper->text();
    texts << widget->toolTip();
  }
  return texts;
}

// Makes the process's QApplication, unless it has one.
inline void ensureApplication() {
  static int argc = 1;
  static char name[] = "trellisant-tests", *argv[] = {name, nullptr};
  if (qApp) return;
  auto* application = new QApplication(argc, argv);
  // Gone before the process's statics, as Qt expects (and LeakSanitizer then finds nothing).
  struct Ending : ::testing::Environment {
    void TearDown() override { delete qApp; }
  };
  ::testing::AddGlobalTestEnvironment(new Ending);
  QApplication::setQuitOnLastWindowClosed(false);
  app::theme::applyLightScheme(*application);
  // waitUntil runs Qt's event loop while it waits, so that results posted to the UI thread arrive.
  setWaitStep([](std::chrono::milliseconds) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  });
}


// The world of an app model: its fakes (the folder chooser stays "open" until the test answers;
// the browser only notes the address) in a private home, with the sandbox server when started.
struct AppStage : app::FolderChooser, app::BrowserOpener {
  // Requests go to loopback servers only, never through the user's proxy.
  AppStage() {
    ensureApplication();
    http::testing::setOverrides({{}, ""});
  }
  ~AppStage() override {
    model.reset();
    http::testing::clearOverrides();
  }

  void choose(const std::optional<std::filesystem::path>& from,
              std::function<void(std::optional<std::filesystem::path>)> then) override {
    ++choosers;
    chooserStart = from;
    chosen = std::move(then);
  }
  void answer(std::optional<std::filesystem::path> folder) { std::exchange(chosen, nullptr)(std::move(folder)); }
  bool open(const std::string& url) override {
    std::lock_guard lock(mutex);
    openedUrl = url;
    return browserWorks;
  }
  std::string opened() {
    std::lock_guard lock(mutex);
    return openedUrl;
  }

  // The parts handed to the next model.
  app::AppParts parts() {
    app::AppParts parts;
    parts.loginItem = loginItem;
    parts.agentStatus = [this] {
      std::lock_guard lock(mutex);
      return agentAnswer;
    };
    parts.now = [this] { return now; };
    parts.browser = std::shared_ptr<app::BrowserOpener>(std::shared_ptr<void>(), this);
    parts.folderChooser = std::shared_ptr<app::FolderChooser>(std::shared_ptr<void>(), this);
    parts.notificationsAvailable = [] { return false; };  // so nothing is ever posted
    parts.openFolder = [this](const std::filesystem::path& folder) { openedFolders.push_back(folder); };
    parts.quit = [this] { ++quits; };
    parts.activate = [this] { ++activations; };
    parts.trayAvailable = [this] { return tray.load(); };
    parts.refreshInterval = std::chrono::hours(1);  // only explicit refreshes
    parts.trayCheckInterval = std::chrono::milliseconds(10);
    parts.signInTimeLimit = signInTimeLimit;
    return parts;
  }
  app::AppModel& makeModel() {
    model.reset();
    model = std::make_unique<app::AppModel>(parts());
    EXPECT_TRUE(waitUntil([&] { return model->signInKnown(); }));
    return *model;
  }
  // What the agent answers from now on; nothing means no answer.
  void agentSays(std::optional<AgentStatus> status) {
    std::lock_guard lock(mutex);
    agentAnswer = std::move(status);
  }
  // A device sign-in for the default server.
  void storeCredentials() {
    Vault::save({"https://trellisant.example", "access", "refresh", "trellisant-native",
                 SystemClock::now() + std::chrono::hours(1), "device-1", "key-1"});
  }
  // A folder inside the home, created.
  std::filesystem::path folder(const std::string& name) {
    std::filesystem::create_directories(home.root() / name);
    return home.root() / name;
  }
  // Signed in, receiving into the folder "Footage" (returned), the agent registered.
  std::filesystem::path receiving() {
    storeCredentials();
    auto root = folder("Footage");
    ReceivingControl::edit([&](Preferences& p) {
      p.setDestination(root);
      p.receiving = true;
    });
    loginItem->set(LoginItemStatus::enabled);
    return root;
  }
  // The sandbox company server, reached as trellisant.test over TLS, as the configured server.
  sandbox::CompanyServer& startCompany() {
    company = testing::startCompany(home.root() / "tls");
    ReceivingControl::edit([&](Preferences& p) { p.server = company->baseUrl(); });
    return *company;
  }

  TempHome home;
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  int choosers = 0;
  std::optional<std::filesystem::path> chooserStart;
  std::function<void(std::optional<std::filesystem::path>)> chosen;
  std::string openedUrl;
  std::vector<std::filesystem::path> openedFolders;
  std::atomic<bool> browserWorks{true};
  Date now = SystemClock::now();
  int quits = 0, activations = 0;
  std::atomic<bool> tray = false;  // whether the desktop shows tray icons (asked off the UI thread)
  std::chrono::milliseconds signInTimeLimit = std::chrono::seconds(300);
  std::unique_ptr<sandbox::CompanyServer> company;
  std::unique_ptr<app::AppModel> model;
  std::mutex mutex;  // for what the model's threads read: the agent's answer, the opened address
  std::optional<AgentStatus> agentAnswer;
};

class AppModelTest : public ::testing::Test, public AppStage {
 protected:
  void TearDown() override {
    model.reset();
    EXPECT_EQ(loginItem->callsOnMakingThread, 0) << "the app waited for the login item on its UI thread";
  }
};

}  // namespace trellisant::testing

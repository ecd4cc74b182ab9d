#pragma once

// Stand-ins for everything the app model reaches outside itself, and a stage that builds a
// model on them inside a private home folder: used by the tests and the screenshots tool.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QStringList>
#include <QWidget>

#include <atomic>
#include <memory>
#include <mutex>

#include "app_model.h"
#include "app_services.h"
#include "company_server.h"
#include "fake_login_item.h"
#include "test_support.h"

namespace trellisant::testing {

// Keeps the chooser "open" until the test answers.
struct FakeFolderChooser : app::FolderChooser {
  void choose(const std::optional<std::filesystem::path>& from,
              std::function<void(std::optional<std::filesystem::path>)> then) override {
    ++opened;
    start = from;
    done = std::move(then);
  }
  void answer(std::optional<std::filesystem::path> folder) { std::exchange(done, nullptr)(std::move(folder)); }
  int opened = 0;
  std::optional<std::filesystem::path> start;
  std::function<void(std::optional<std::filesystem::path>)> done;
};

struct FakeBrowser : app::BrowserOpener {
  bool open(const std::string& url) override {
    std::lock_guard lock(mutex);
    opened.push_back(url);
    return works;
  }
  std::string last() {
    std::lock_guard lock(mutex);
    return opened.empty() ? "" : opened.back();
  }
  std::mutex mutex;
  std::vector<std::string> opened;
  std::atomic<bool> works{true};
};

// Makes waitUntil run Qt's event loop while it waits, so that results posted to the UI thread
// arrive.
void runEventsWhileWaiting();
// Runs the event loop for a while, for asserting that something does NOT happen.
void settle(std::chrono::milliseconds duration = std::chrono::milliseconds(100));

// The texts of a widget tree's labels, buttons, fields, tool tips and menus, shown or not.
QStringList allTexts(const QObject* root);
// The visible button with this text, or nullptr.
QAbstractButton* visibleButton(QWidget* root, const QString& text);
// The text of the visible label (or the first label of the visible widget) with this name.
QString labelText(QWidget* root, const QString& name);

class AppStage {
 public:
  AppStage();
  ~AppStage();

  // The services handed to the next model.
  app::AppServices services();
  app::AppModel& makeModel();

  void storeCredentials(bool withDeviceKey = true, const std::string& server = "https://trellisant.example");
  void writePreferences(const std::function<void(Preferences&)>& edit);
  // A folder inside the home, created.
  std::filesystem::path folder(const std::string& name);
  // Signed in, receiving into the folder "Footage" (returned), the agent registered.
  std::filesystem::path receiving();
  // The sandbox company server, reached as trellisant.test over TLS, as the configured server.
  sandbox::CompanyServer& startCompany();
  // What the agent answers from now on; nothing means no answer.
  void agentSays(std::optional<AgentStatus> status);

  TempHome home;
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<FakeFolderChooser> chooser = std::make_shared<FakeFolderChooser>();
  std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();
  std::atomic<bool> notificationServer{false};  // none: nothing is posted
  std::atomic<int> agentQuestions{0};
  Date now = SystemClock::now();
  int quits = 0;
  int activations = 0;
  bool tray = false;  // whether the desktop shows tray icons
  std::chrono::milliseconds signInTimeLimit = std::chrono::seconds(300);
  std::unique_ptr<sandbox::CompanyServer> company;
  std::unique_ptr<app::AppModel> model;

 private:
  std::mutex agentMutex_;
  std::optional<AgentStatus> agentAnswer_;
};

class AppModelTest : public ::testing::Test, public AppStage {
 protected:
  void TearDown() override {
    model.reset();
    EXPECT_EQ(loginItem->callsOnMakingThread, 0) << "the app waited for the login item on its UI thread";
  }
};

}  // namespace trellisant::testing

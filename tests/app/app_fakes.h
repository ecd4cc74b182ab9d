#pragma once

// Stand-ins for everything the app model reaches outside itself, and a fixture that builds a
// model on them inside a private home folder.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app_model.h"
#include "app_services.h"
#include "settings/credentials.h"
#include "test_support.h"

namespace trellisant::testing {

class FakeLoginItem : public LoginItem {
 public:
  LoginItemStatus status() override;
  void registerItem() override;
  void unregisterItem() override;
  void openSettings() override {
    noteThread();
    ++settingsOpened;
  }
  std::string describe() override {
    noteThread();
    return "Starts at login through the fake unit.";
  }

  void setStatus(LoginItemStatus status);
  void failRegister(std::optional<std::string> message);
  void failUnregister(std::optional<std::string> message);
  int registrations() const { return registrations_; }
  int unregistrations() const { return unregistrations_; }
  std::atomic<int> settingsOpened{0};
  // Calls made on the thread that made the fake, the UI thread: a real login item blocks.
  int callsOnUiThread() const { return callsOnUiThread_; }

 private:
  void noteThread() {
    if (std::this_thread::get_id() == uiThread_) ++callsOnUiThread_;
  }

  const std::thread::id uiThread_ = std::this_thread::get_id();
  std::atomic<int> callsOnUiThread_{0};
  mutable std::mutex mutex_;
  LoginItemStatus status_ = LoginItemStatus::notRegistered;
  std::optional<std::string> registerFailure_;
  std::optional<std::string> unregisterFailure_;
  std::atomic<int> registrations_{0};
  std::atomic<int> unregistrations_{0};
};

// Keeps the chooser "open" until the test answers.
class FakeFolderChooser : public app::FolderChooser {
 public:
  void choose(const std::optional<std::filesystem::path>& start,
              std::function<void(std::optional<std::filesystem::path>)> done) override;
  bool open() const { return static_cast<bool>(done_); }
  int opened = 0;
  std::optional<std::filesystem::path> start;
  void answer(std::optional<std::filesystem::path> folder);

 private:
  std::function<void(std::optional<std::filesystem::path>)> done_;
};

class FakeBrowser : public app::BrowserOpener {
 public:
  bool open(const std::string& url) override;
  std::vector<std::string> opened() const;
  std::atomic<bool> works{true};

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> opened_;
};

class FakeNotifier : public Notifier {
 public:
  void post(const std::string& identifier, const std::string& title, const std::string& body) override;
  std::vector<std::string> titles() const;

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> titles_;
};

// Makes waitUntil run Qt's event loop while it waits, so that results posted to the UI thread
// arrive.
void runEventsWhileWaiting();

// Runs the event loop for a short while, for asserting that something does NOT happen.
void settle(std::chrono::milliseconds duration = std::chrono::milliseconds(100));

class AppModelTest : public ::testing::Test {
 protected:
  AppModelTest();
  ~AppModelTest() override;

  // The services handed to the next model; tests may change them before makeModel().
  app::AppServices services();
  app::AppModel& makeModel();

  void storeCredentials(bool withDeviceKey, const std::string& server = "https://trellisant.example");
  // Writes preferences.json (the model reads it when it is made).
  void writePreferences(const std::function<void(Preferences&)>& edit);
  Preferences preferencesOnDisk() const;
  void writeStatusFile(const AgentStatus& status);
  // A folder inside the home, created.
  std::filesystem::path folder(const std::string& name);
  // Signed in, receiving into the folder "Footage" (returned), the agent registered.
  std::filesystem::path receiving();

  TempHome home;
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<FakeFolderChooser> chooser = std::make_shared<FakeFolderChooser>();
  std::shared_ptr<FakeBrowser> browser = std::make_shared<FakeBrowser>();
  std::shared_ptr<FakeNotifier> notifier = std::make_shared<FakeNotifier>();
  std::atomic<bool> notificationServer{true};
  // What the agent answers; nothing means no answer.
  std::optional<AgentStatus> agentAnswer;
  std::mutex agentMutex;
  std::atomic<int> agentQuestions{0};
  Date now = SystemClock::now();
  int quits = 0;
  int activations = 0;
  bool tray = false;  // whether the desktop shows tray icons
  std::chrono::milliseconds signInTimeLimit = std::chrono::seconds(300);
  std::unique_ptr<app::AppModel> model;
};

}  // namespace trellisant::testing

#pragma once

// The agent's login item for the app's and trellisantctl's tests: answers at once, fails on
// request, and counts the calls made on the thread that made it (the app's UI thread, which a
// real login item would block).

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "error.h"
#include "platform/login_item.h"

namespace trellisant::testing {

class FakeLoginItem : public LoginItem {
  template <typename F>
  auto locked(F&& action, bool call = true) {
    if (call && std::this_thread::get_id() == maker_) ++callsOnMakingThread;
    std::lock_guard lock(mutex_);
    return action();
  }

 public:
  LoginItemStatus status() override { return locked([&] { return state_; }); }
  void registerItem() override {
    locked([&] {
      ++registrations;
      if (registerFailure_) throw PlatformError(*registerFailure_);
      state_ = LoginItemStatus::enabled;
    });
  }
  void unregisterItem() override {
    locked([&] {
      ++unregistrations;
      if (unregisterFailure_) throw PlatformError(*unregisterFailure_);
      state_ = LoginItemStatus::notRegistered;
    });
  }
  void openSettings() override { locked([] {}); }
  std::string describe() override { return locked([] { return std::string("Starts at login through the fake unit."); }); }

  void set(LoginItemStatus state) { locked([&] { state_ = state; }, false); }
  void failRegister(std::optional<std::string> why) { locked([&] { registerFailure_ = std::move(why); }, false); }
  void failUnregister(std::optional<std::string> why) { locked([&] { unregisterFailure_ = std::move(why); }, false); }

  std::atomic<int> registrations{0}, unregistrations{0}, callsOnMakingThread{0};

 private:
  const std::thread::id maker_ = std::this_thread::get_id();
  std::mutex mutex_;
  LoginItemStatus state_ = LoginItemStatus::notRegistered;
  std::optional<std::string> registerFailure_, unregisterFailure_;
};

}  // namespace trellisant::testing

#pragma once

// The agent's login item for the app's and trellisantctl's tests: answers at once, fails to
// unregister on request, and counts the calls made on the thread that made it (the app's UI
// thread, which a real login item would block).

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
  auto call(F&& action, bool counted = true) {
    if (counted && std::this_thread::get_id() == maker_) ++callsOnMakingThread;
    std::lock_guard lock(mutex_);
    return action();
  }

 public:
  LoginItemStatus status() override { return call([&] { return state_; }); }
  void registerItem() override { call([&] { state_ = LoginItemStatus::enabled; }); }
  void unregisterItem() override {
    call([&] {
      ++unregistrations;
      if (unregisterFailure_) throw PlatformError(*unregisterFailure_);
      state_ = LoginItemStatus::notRegistered;
    });
  }
  void openSettings() override { call([] {}); }
  std::string describe() override { return call([] { return std::string("Starts at login through the fake unit."); }); }

  void set(LoginItemStatus state) { call([&] { state_ = state; }, false); }
  void failUnregister(std::optional<std::string> why) { call([&] { unregisterFailure_ = std::move(why); }, false); }

  std::atomic<int> unregistrations{0}, callsOnMakingThread{0};

 private:
  const std::thread::id maker_ = std::this_thread::get_id();
  std::mutex mutex_;
  LoginItemStatus state_ = LoginItemStatus::notRegistered;
  std::optional<std::string> unregisterFailure_;
};

}  // namespace trellisant::testing

#pragma once

#include <systemd/sd-bus.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace trellisant::testing {

// A D-Bus peer listening on a Unix socket: it plays the bus daemon (answers Hello) and the
// service under test, so the real sd-bus code of the product can be exercised without a
// daemon. Handlers run on the fake's own thread and must reply to the call.
class FakeBus {
 public:
  using Handler = std::function<void(sd_bus_message* call)>;

  explicit FakeBus(std::filesystem::path socket);
  ~FakeBus();
  FakeBus(const FakeBus&) = delete;
  FakeBus& operator=(const FakeBus&) = delete;

  // Handles calls of `member` (any interface); unknown members get an UnknownMethod error.
  void handle(const std::string& member, Handler handler);
  std::string address() const { return "unix:path=" + socket_.string(); }
  int calls(const std::string& member) const;
  int openConnections() const { return open_; }

 private:
  void serve();
  static int dispatch(sd_bus_message* message, void* self, sd_bus_error* error);

  std::filesystem::path socket_;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> open_{0};
  mutable std::mutex mutex_;
  std::map<std::string, Handler> handlers_;
  std::map<std::string, int> counts_;
  std::thread thread_;
};

}  // namespace trellisant::testing

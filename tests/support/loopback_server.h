#pragma once

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.h"

namespace trellisant::testing {

// An ordinary HTTP CONNECT proxy on 127.0.0.1, as company networks run them: it answers
// "HTTP/1.1 200 Connection established" and relays the tunnel's bytes both ways, a thread per
// connection. Going away shuts every connection down and joins.
class ConnectProxy {
 public:
  ConnectProxy();
  ~ConnectProxy();
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  // Every "host:port" a client asked to reach, in order.
  std::vector<std::string> targets() const {
    std::lock_guard lock(mutex_);
    return targets_;
  }

 private:
  void serve(int client);
  UniqueFd listener_;
  int port_ = 0;
  mutable std::mutex mutex_;
  bool stopping_ = false;
  std::vector<std::string> targets_;
  std::vector<int> open_;
  std::vector<std::jthread> connections_;
  std::jthread acceptor_;  // last: joined first
};

}  // namespace trellisant::testing

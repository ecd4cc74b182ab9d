#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trellisant::testing {

// A plain TCP server on 127.0.0.1 (a free port) that hands every connection to `serve` on a
// thread of its own and closes it afterwards. Going away stops accepting, shuts every open
// connection down, so that `serve` sees its reads and writes fail, and joins.
class LoopbackServer {
 public:
  using Serve = std::function<void(int fd)>;
  explicit LoopbackServer(Serve serve);
  ~LoopbackServer();
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

 private:
  void accept();
  Serve serve_;
  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  bool stopping_ = false;
  std::vector<int> open_;
  std::vector<std::thread> connections_;
  std::thread acceptor_;
};

// Reads a request head (up to its empty line, at most 16 KiB); "" when the peer went away.
std::string readHead(int fd);
// Writes all of `bytes`; false when the peer went away.
bool writeAll(int fd, std::string_view bytes);

// An ordinary HTTP CONNECT proxy, as company networks run them: it answers
// "HTTP/1.1 200 Connection established" and relays the tunnel's bytes both ways.
class ConnectProxy {
 public:
  ConnectProxy();
  std::string url() const { return server_.url(); }
  // Every "host:port" a client asked to reach, in order.
  std::vector<std::string> targets() const;

 private:
  void serve(int client);
  mutable std::mutex mutex_;
  std::vector<std::string> targets_;
  LoopbackServer server_;  // last: its threads use the members above
};

}  // namespace trellisant::testing

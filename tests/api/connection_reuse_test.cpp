// Kept connections against a keep-alive server that closes them under the client.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "api/http.h"
#include "error.h"
#include "loopback_server.h"
#include "test_support.h"

namespace trellisant {
namespace {

// An HTTP/1.1 server that keeps connections open and logs each request with the number of its
// connection. The request `dropAt` (counted over all requests) is read whole and answered by
// closing the connection, as when a server ends a keep-alive connection just as a request
// arrives; after `closeAt` it answers and closes its side, still logging what arrives there.
class KeepAliveServer {
 public:
  std::atomic<int> dropAt = 0, closeAt = 0;
  std::atomic<bool> closed = false;  // after closeAt
  std::string url() const { return server_.url(); }
  std::vector<std::pair<int, std::string>> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  void serve(int fd) {
    const int connection = ++connections_;
    for (bool closedHere = false;;) {
      std::string head = testing::readHead(fd);
      if (head.empty()) return;
      auto length = head.find("Content-Length: ");
      std::string body(length == std::string::npos ? 0 : std::stoul(head.substr(length + 16)), '\0');
      for (std::size_t got = 0; got < body.size();) {
        ssize_t count = ::read(fd, body.data() + got, body.size() - got);
        if (count <= 0) return;
        got += static_cast<std::size_t>(count);
      }
      std::unique_lock lock(mutex_);
      log_.emplace_back(connection, head.substr(0, head.find(" HTTP/")));
      const auto number = static_cast<int>(log_.size());
      lock.unlock();
      if (closedHere || number == dropAt) return;
      if (!testing::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n{\"ok\":true}")) return;
      if (number == closeAt) ::shutdown(fd, SHUT_WR), closedHere = closed = true;
    }
  }

  std::mutex mutex_;
  std::vector<std::pair<int, std::string>> log_;
  std::atomic<int> connections_ = 0;
  testing::LoopbackServer server_{[this](int fd) { serve(fd); }};
};

http::Request request(const std::string& method, const std::string& url) {
  http::Request r;
  r.method = method;
  r.url = url;
  if (method == "POST") r.body = "{\"fileId\":\"f1\"}";
  return r;
}

// Which connection libcurl opens when is its own affair: only whether requests shared one counts.
TEST(ConnectionReuse, RetriesOnlyWhatCannotRepeatAnEffect) {
  using Log = std::vector<std::pair<int, std::string>>;
  KeepAliveServer server;
  server.dropAt = 2;
  server.closeAt = 5;
  EXPECT_EQ(http::perform(request("GET", server.url() + "/a")).status, 200);
  // The kept connection closes under the second GET: sent again on a fresh connection.
  EXPECT_EQ(http::perform(request("GET", server.url() + "/b")).body, "{\"ok\":true}");
  // A POST the server took whole on the kept connection before closing it may have had its
  // effect: never sent twice.
  server.dropAt = 4;
  EXPECT_THROW(http::perform(request("POST", server.url() + "/c")), PlatformError);
  // A connection the server closed while idle is not used again; each POST goes out once.
  EXPECT_EQ(http::perform(request("POST", server.url() + "/d")).status, 200);
  ASSERT_TRUE(testing::waitUntil([&] { return server.closed.load(); }));
  EXPECT_EQ(http::perform(request("POST", server.url() + "/e")).status, 200);
  Log log = server.log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log, (Log{{log[0].first, "GET /a"}, {log[0].first, "GET /b"}, {log[2].first, "GET /b"},
                      {log[2].first, "POST /c"}, {log[4].first, "POST /d"}, {log[5].first, "POST /e"}}));
  EXPECT_TRUE(log[2].first != log[0].first && log[5].first != log[4].first);
}

}  // namespace
}  // namespace trellisant

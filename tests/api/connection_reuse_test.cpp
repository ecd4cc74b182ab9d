// Kept connections against a keep-alive server that closes them under the client.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "api/http.h"
#include "error.h"
#include "loopback_server.h"

namespace trellisant {
namespace {

// An HTTP/1.1 server that keeps connections open. The request `dropAt` (counted over all
// requests) is read whole and answered by closing the connection, as when a server ends a
// keep-alive connection just as a request arrives; after `closeAt` it answers and then closes.
class KeepAliveServer {
 public:
  int dropAt = 0;
  int closeAt = 0;
  std::string url() const { return server_.url(); }
  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }
  void waitForClosed(int count) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return closed_ >= count; });
  }

 private:
  void serve(int fd) {
    int connection = 0;
    {
      std::lock_guard lock(mutex_);
      connection = ++connections_;
    }
    for (;;) {
      std::string head = testing::readHead(fd);
      if (head.empty()) return;
      auto length = head.find("Content-Length: ");
      std::string body(length == std::string::npos ? 0 : std::stoul(head.substr(length + 16)), '\0');
      for (std::size_t got = 0; got < body.size();) {
        ssize_t count = ::read(fd, body.data() + got, body.size() - got);
        if (count <= 0) return;
        got += static_cast<std::size_t>(count);
      }
      int number = 0;
      {
        std::lock_guard lock(mutex_);
        log_.push_back(std::to_string(connection) + " " + head.substr(0, head.find(" HTTP/")));
        number = static_cast<int>(log_.size());
      }
      if (number == dropAt) return;
      if (!testing::writeAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n{\"ok\":true}")) return;
      if (number == closeAt) {
        ::shutdown(fd, SHUT_RDWR);
        std::lock_guard lock(mutex_);
        ++closed_;
        changed_.notify_all();
        return;
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> log_;
  int connections_ = 0;
  int closed_ = 0;
  testing::LoopbackServer server_{[this](int fd) { serve(fd); }};
};

http::Request request(const std::string& method, const std::string& url) {
  http::Request r;
  r.method = method;
  r.url = url;
  if (method == "POST") r.body = "{\"fileId\":\"f1\"}";
  return r;
}

TEST(ConnectionReuse, RetriesOnlyWhatCannotRepeatAnEffect) {
  KeepAliveServer server;
  server.dropAt = 2;
  server.closeAt = 5;
  EXPECT_EQ(http::perform(request("GET", server.url() + "/a")).status, 200);
  // The kept connection closes under the second GET: sent again on a fresh connection.
  EXPECT_EQ(http::perform(request("GET", server.url() + "/b")).body, "{\"ok\":true}");
  EXPECT_EQ(server.log(), (std::vector<std::string>{"1 GET /a", "1 GET /b", "2 GET /b"}));

  // A POST the server took whole before closing may have had its effect: never sent twice.
  server.dropAt = 4;
  // (libcurl opens connection 3 for a second try, which sends nothing.)
  EXPECT_THROW(http::perform(request("POST", server.url() + "/c")), PlatformError);
  EXPECT_EQ(server.log().size(), 4u);
  EXPECT_EQ(server.log().back(), "2 POST /c");

  // A connection the server closed while idle is not used again; the POST goes out once.
  EXPECT_EQ(http::perform(request("POST", server.url() + "/d")).status, 200);
  server.waitForClosed(1);
  EXPECT_EQ(http::perform(request("POST", server.url() + "/e")).status, 200);
  EXPECT_EQ(server.log(), (std::vector<std::string>{"1 GET /a", "1 GET /b", "2 GET /b",
                                                     "2 POST /c", "4 POST /d", "5 POST /e"}));
}

}  // namespace
}  // namespace trellisant

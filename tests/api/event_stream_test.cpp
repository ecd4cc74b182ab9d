#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "api/api.h"
#include "company_fixture.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kEvents = "/api/v1/native/events";

class EventStreamTest : public CompanyTest {
 protected:
  Options options() override {
    Options options = CompanyTest::options();
    options.keepAliveInterval = 100ms;
    return options;
  }

  // A client whose waits end at the first line after `limit`.
  API client(std::chrono::milliseconds limit = 30s, std::chrono::seconds idle = 35s) {
    return API(server->baseUrl(), EventTiming{limit, idle});
  }

  // Runs the wait on its own thread so that a hang fails the test instead of blocking it.
  static std::int64_t waitBounded(API& api, std::int64_t after, std::stop_token stop = {}) {
    auto result = std::async(std::launch::async, [&] { return api.waitForEvent(after, stop); });
    if (result.wait_for(20s) != std::future_status::ready) {
      ADD_FAILURE() << "the wait did not end";
      std::abort();
    }
    return result.get();
  }
};

}  // namespace

TEST_F(EventStreamTest, WithoutCredentialsReturnsAtOnceWithoutTraffic) {
  API api = client();
  EXPECT_EQ(api.waitForEvent(12), 12);
  Credentials other = server->issueCredentials(1h, true);
  other.server = "https://elsewhere.example";
  Vault::save(other);
  EXPECT_EQ(api.waitForEvent(12), 12);
  EXPECT_TRUE(server->requests().empty());
}

TEST_F(EventStreamTest, RefusedStreamsReturnTheArgument) {
  signIn();
  setReceiving(true);
  API api = client();
  for (int status : {204, 404, 500, 401}) {
    server->inject("GET", kEvents, status, status == 204 ? "" : R"({"error":"no"})", 1);
    EXPECT_EQ(waitBounded(api, 5), 5) << status;
  }
  // Even a 200-looking body is ignored with another status.
  server->inject("GET", kEvents, 202, "id: 9\ndata: {}\n", 1);
  EXPECT_EQ(waitBounded(api, 5), 5);
}

TEST_F(EventStreamTest, IdAndDataLines) {
  signIn();
  setReceiving(true);
  API api = client();
  server->inject("GET", kEvents, 200, "id: 7\ndata: {}\n", 2);
  EXPECT_EQ(waitBounded(api, 3), 7);
  EXPECT_EQ(waitBounded(api, 9), 9);
  // "data:" without the space is no event; a bad id changes nothing; the body's end returns.
  server->inject("GET", kEvents, 200, "id: abc\ndata:{}\nid: 5\r\n:\r\n", 1);
  EXPECT_EQ(waitBounded(api, 1), 5);
  // The wait ends at the data line: an id after it is never read.
  server->inject("GET", kEvents, 200, "data: {}\nid: 8\n", 1);
  EXPECT_EQ(waitBounded(api, 1), 1);
  // An unterminated last line still counts.
  server->inject("GET", kEvents, 200, "id: 4", 1);
  EXPECT_EQ(waitBounded(api, 1), 4);

  auto sent = requestsTo(kEvents);
  ASSERT_EQ(sent.size(), 5u);
  EXPECT_EQ(sent[0].header("Last-Event-ID"), "3");
  EXPECT_EQ(sent[1].header("Last-Event-ID"), "9");
  EXPECT_EQ(sent[0].header("Authorization"), "Bearer " + Vault::read()->accessToken);
  EXPECT_EQ(sent[0].header("X-Device-Key"), Vault::read()->deviceKey);
}

TEST_F(EventStreamTest, ResumesAfterTheLastEventSeen) {
  signIn();
  setReceiving(true);
  API api = client();
  std::thread producer([&] {
    std::this_thread::sleep_for(300ms);
    server->signalEvent();
  });
  std::int64_t first = waitBounded(api, 0);
  producer.join();
  EXPECT_EQ(first, 1);

  // Events that happened between two waits arrive at once on the next one.
  server->signalEvent();
  server->signalEvent();
  std::int64_t second = waitBounded(api, first);
  EXPECT_EQ(second, 2);
  std::int64_t third = waitBounded(api, second);
  EXPECT_EQ(third, 3);
  auto sent = requestsTo(kEvents);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].header("Last-Event-ID"), "0");
  EXPECT_EQ(sent[1].header("Last-Event-ID"), std::to_string(first));
  EXPECT_EQ(sent[2].header("Last-Event-ID"), std::to_string(second));
}

TEST_F(EventStreamTest, KeepAlivesEndTheWaitAfterTheLimit) {
  signIn();
  setReceiving(true);
  API api = client(600ms);
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(waitBounded(api, 4), 4);
  // It returned at a keep-alive after the limit, not before it.
  EXPECT_GE(std::chrono::steady_clock::now() - started, 600ms);
}

TEST_F(EventStreamTest, SwitchingReceivingOffEndsTheWait) {
  signIn();
  setReceiving(true);
  API api = client();
  std::thread pauser([] {
    std::this_thread::sleep_for(300ms);
    setReceiving(false);
  });
  EXPECT_EQ(waitBounded(api, 2), 2);
  pauser.join();
  EXPECT_FALSE(Preferences::load().receiving);
  // With receiving off the first keep-alive ends the wait, but an event still counts.
  server->signalEvent();
  EXPECT_EQ(waitBounded(api, 0), 1);
}

TEST_F(EventStreamTest, StopTokenCancelsPromptly) {
  signIn();
  setReceiving(true);
  API api = client();
  std::stop_source stop;
  std::thread canceller([&] {
    std::this_thread::sleep_for(300ms);
    stop.request_stop();
  });
  EXPECT_THROW(waitBounded(api, 0, stop.get_token()), Cancelled);
  canceller.join();
}

TEST_F(EventStreamTest, SilentStreamFailsAfterTheIdleTimeout) {
  signIn();
  setReceiving(true);
  server->clearRequests();
  server->delay("GET", kEvents, 5s, 1);
  API api = client(30s, 1s);
  EXPECT_THROW(waitBounded(api, 0), PlatformError);
}

TEST_F(EventStreamTest, RenewsAnExpiringTokenBeforeConnecting) {
  Credentials old = signIn(30s);
  setReceiving(true);
  server->inject("GET", kEvents, 200, "id: 2\ndata: {}\n", 1);
  API api = client();
  EXPECT_EQ(waitBounded(api, 0), 2);
  ASSERT_EQ(requestsTo(kTokenPath).size(), 1u);
  EXPECT_EQ(requestsTo(kEvents).at(0).header("Authorization"),
            "Bearer " + Vault::read()->accessToken);
  EXPECT_NE(Vault::read()->accessToken, old.accessToken);
}

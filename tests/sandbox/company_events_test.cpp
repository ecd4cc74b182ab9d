#include <gtest/gtest.h>

#include <future>

#include "api/resources.h"
#include "company_fixture.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

class CompanyEventsTest : public CompanyTest {
 protected:
  Options options() override {
    Options options = CompanyTest::options();
    options.keepAliveInterval = 10s;  // the default: streams stay silent during the test
    return options;
  }

  std::future<std::int64_t> waitInBackground(std::int64_t after) {
    return std::async(std::launch::async, [this, after] {
      API api(server->baseUrl());
      return api.waitForEvent(after);
    });
  }

  // Until the server has seen `count` stream requests.
  void awaitStreams(std::size_t count) {
    for (int i = 0; i < 500 && requestsTo("/api/v1/native/events").size() < count; ++i)
      std::this_thread::sleep_for(10ms);
    ASSERT_EQ(requestsTo("/api/v1/native/events").size(), count);
  }
};

}  // namespace

TEST_F(CompanyEventsTest, TwoStreamsBothReceiveANewDelivery) {
  signIn();
  setReceiving(true);
  auto first = waitInBackground(0);
  auto second = waitInBackground(0);
  awaitStreams(2);
  // Other requests are served while both streams stay open.
  API api(server->baseUrl());
  EXPECT_TRUE(Resources::heartbeat(api, Readiness::ready, "").ok);

  std::filesystem::create_directories(home.root() / "reel");
  writeText(home.root() / "reel" / "a.mov", "footage");
  server->addDelivery(
      sandbox::deliveryFromFolder(home.root() / "reel", "reel", "Acme", "Promo", "Reel"));
  ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(first.get(), 1);
  EXPECT_EQ(second.get(), 1);
  EXPECT_EQ(server->lastEventId(), 1);
}

TEST_F(CompanyEventsTest, StopEndsOpenStreamsPromptly) {
  signIn();
  setReceiving(true);
  auto first = waitInBackground(0);
  auto second = waitInBackground(0);
  awaitStreams(2);
  auto stopped = std::async(std::launch::async, [this] { server->stop(); });
  ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
  // The clients see their streams end, one way or another, and return.
  ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
  try {
    EXPECT_EQ(first.get(), 0);
  } catch (const PlatformError&) {
  }
}

TEST_F(CompanyEventsTest, StreamsNeedAValidSignIn) {
  Credentials credentials = signIn();
  setReceiving(true);
  http::Request request;
  request.url = server->baseUrl() + "/api/v1/native/events";
  auto response = http::perform(request);
  EXPECT_EQ(response.status, 401);
  EXPECT_EQ(parseJson(response.body).at("error"),
            "Your sign in is no longer valid. Sign in again in Trellisant.");
  request.headers = {{"Authorization", "Bearer " + credentials.accessToken},
                     {"X-Device-Key", "nope"}};
  response = http::perform(request);
  EXPECT_EQ(response.status, 403);
  EXPECT_EQ(parseJson(response.body).at("error"),
            "This computer could not be verified. Sign in again in Trellisant.");
}

TEST_F(CompanyEventsTest, ClientAheadOfARestartedServerStillHearsTheNextEvent) {
  signIn();
  setReceiving(true);
  auto waiting = waitInBackground(50);
  awaitStreams(1);
  server->signalEvent();
  ASSERT_EQ(waiting.wait_for(10s), std::future_status::ready);
  // The event's id (1) is below the client's, so its cursor stays; the wait still ends.
  EXPECT_EQ(waiting.get(), 50);
}

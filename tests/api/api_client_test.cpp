#include <gtest/gtest.h>

#include <barrier>
#include <future>
#include <thread>

#include "api/resources.h"
#include "company_fixture.h"
#include "loopback_server.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kInterrupted = "Your connection was interrupted. Trellisant will retry.";
constexpr const char* kSignInExpired =
    "Your device sign in has expired. Sign in again in Trellisant.";
constexpr const char* kTooMuch = "The server sent more data than expected.";

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return userMessage(error);
  }
  return "(no failure)";
}

class ApiClientTest : public CompanyTest {
 protected:
  API api() { return API(server->baseUrl()); }
  API::OK heartbeat(API& client) { return Resources::heartbeat(client, Readiness::ready, "Footage"); }
};

}  // namespace

TEST(ApiAddress, AcceptsSecureAndLocalAddressesOnly) {
  for (const char* good :
       {"https://trellisant.example", "https://Trellisant.Example:8443/x", "http://127.0.0.1:8080",
        "http://localhost", "http://localhost:9000/path"}) {
    EXPECT_NO_THROW(API{good}) << good;
  }
  for (const char* bad :
       {"http://trellisant.example", "ftp://localhost", "http://LOCALHOST", "http://[::1]:8080",
        "http://127.0.0.2", "not a url", "", "https://", "trellisant.example"}) {
    EXPECT_EQ(messageOf([&] { API{bad}; }),
              "Use a secure server address, or localhost for development.")
        << bad;
  }
}

TEST_F(ApiClientTest, SendsBearerDeviceKeyAndCompactJson) {
  Credentials credentials = signIn();
  API client = api();
  EXPECT_TRUE(heartbeat(client).ok);
  EXPECT_TRUE(
      client.request<API::Deliveries>("deliveries", "GET", std::nullopt).deliveries.empty());

  auto beat = requestsTo("/api/v1/native/heartbeat").at(0);
  EXPECT_EQ(beat.method, "POST");
  EXPECT_EQ(beat.header("Authorization"), "Bearer " + credentials.accessToken);
  EXPECT_EQ(beat.header("X-Device-Key"), credentials.deviceKey);
  EXPECT_EQ(beat.header("Content-Type"), "application/json");
  EXPECT_EQ(beat.body, R"({"destinationLabel":"Footage","readiness":"ready"})");

  auto list = requestsTo("/api/v1/native/deliveries").at(0);
  EXPECT_EQ(list.method, "GET");
  EXPECT_FALSE(list.header("Content-Type"));
  EXPECT_TRUE(list.body.empty());
  EXPECT_TRUE(requestsTo(kTokenPath).empty());
}

TEST_F(ApiClientTest, KeepsOnlySchemeHostAndPortOfTheServerAddress) {
  signIn();
  // Credentials match by scheme, host and port, so the stored record fits this address too.
  API client(server->baseUrl() + "/some/base/path?x=1");
  heartbeat(client);
  ASSERT_EQ(requestsTo("/api/v1/native/heartbeat").size(), 1u);
  EXPECT_EQ(server->requests().back().target, "/api/v1/native/heartbeat");
}

TEST_F(ApiClientTest, RequiresCredentialsForThisServer) {
  API client = api();
  EXPECT_EQ(messageOf([&] { heartbeat(client); }), "Sign in to Trellisant first.");
  Credentials other = server->issueCredentials(1h, true);
  other.server = "https://elsewhere.example";
  Vault::save(other);
  EXPECT_EQ(messageOf([&] { heartbeat(client); }), "Sign in to Trellisant first.");
  EXPECT_TRUE(server->requests().empty());
}

TEST_F(ApiClientTest, RefreshesOnlyWithinFortyFiveSecondsOfExpiry) {
  Credentials later = signIn(46s);
  API client = api();
  heartbeat(client);
  EXPECT_TRUE(requestsTo(kTokenPath).empty());
  EXPECT_EQ(Vault::read()->accessToken, later.accessToken);

  Credentials soon = signIn(44s);
  heartbeat(client);
  ASSERT_EQ(requestsTo(kTokenPath).size(), 1u);
  Credentials renewed = *Vault::read();
  EXPECT_NE(renewed.accessToken, soon.accessToken);
  EXPECT_EQ(requestsTo("/api/v1/native/heartbeat").back().header("Authorization"),
            "Bearer " + renewed.accessToken);
  // expiresAt = now + expires_in (3600 s) with no margin taken off.
  auto left = renewed.expiresAt - SystemClock::now();
  EXPECT_GT(left, 3590s);
  EXPECT_LE(left, 3600s);
}

TEST_F(ApiClientTest, ConcurrentRequestsShareOneRefresh) {
  Credentials expiring = signIn(10s);
  // Hold the token answer so that every caller arrives while the refresh is in flight.
  server->delay("POST", std::string(kTokenPath), 300ms);
  API client = api();
  std::barrier ready(3);
  std::vector<std::jthread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {
      ready.arrive_and_wait();
      try {
        heartbeat(client);
      } catch (...) {
        ++failures;
      }
    });
  }
  threads.clear();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(requestsTo(kTokenPath).size(), 1u);
  Credentials renewed = *Vault::read();
  EXPECT_NE(renewed.accessToken, expiring.accessToken);
  auto beats = requestsTo("/api/v1/native/heartbeat");
  ASSERT_EQ(beats.size(), 3u);
  for (auto& beat : beats) EXPECT_EQ(beat.header("Authorization"), "Bearer " + renewed.accessToken);
}

TEST_F(ApiClientTest, CallerHoldingASpentRefreshTokenGetsTheRenewedRecord) {
  Credentials expiring = signIn(10s);
  API client = api();
  Credentials first = client.refresh(expiring);
  // A caller that read the record before the refresh was stored must not spend the old
  // refresh token a second time (the server has already rotated it).
  Credentials second = client.refresh(expiring);
  EXPECT_EQ(second, first);
  EXPECT_EQ(requestsTo(kTokenPath).size(), 1u);
  EXPECT_NE(first.refreshToken, expiring.refreshToken);
}

TEST_F(ApiClientTest, RefreshKeepsRefreshTokenWhenNoneIsReturnedAndDeviceFieldsAlways) {
  server->setGrantRefreshToken(false);
  Credentials old = signIn(5s);
  API client = api();
  heartbeat(client);
  Credentials kept = *Vault::read();
  EXPECT_NE(kept.accessToken, old.accessToken);
  EXPECT_EQ(kept.refreshToken, old.refreshToken);
  EXPECT_EQ(kept.deviceId, old.deviceId);
  EXPECT_EQ(kept.deviceKey, old.deviceKey);
  EXPECT_EQ(kept.server, old.server);
  EXPECT_EQ(kept.clientId, old.clientId);

  server->setGrantRefreshToken(true);
  kept.expiresAt = SystemClock::now();
  Vault::save(kept);
  heartbeat(client);
  Credentials rotated = *Vault::read();
  EXPECT_NE(rotated.refreshToken, old.refreshToken);
  EXPECT_EQ(rotated.deviceKey, old.deviceKey);
  EXPECT_EQ(requestsTo("/api/v1/native/heartbeat").back().header("X-Device-Key"), old.deviceKey);

  auto form = requestsTo(kTokenPath).back();
  EXPECT_EQ(form.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_FALSE(form.header("Authorization"));
  EXPECT_NE(form.body.find("grant_type=refresh_token"), std::string::npos);
  EXPECT_NE(form.body.find("client_id=trellisant-native"), std::string::npos);
}

TEST_F(ApiClientTest, RejectedRefreshFailsBeforeTheRequestIsSent) {
  Credentials old = signIn(5s);
  old.refreshToken = "not-issued";
  Vault::save(old);
  API client = api();
  EXPECT_EQ(messageOf([&] { heartbeat(client); }), kSignInExpired);
  EXPECT_TRUE(requestsTo("/api/v1/native/heartbeat").empty());
  EXPECT_EQ(Vault::read()->accessToken, old.accessToken);
}

TEST_F(ApiClientTest, MapsFailedAnswersToTheirMessages) {
  signIn();
  API client = api();
  const std::string path = "/api/v1/native/heartbeat";
  server->inject("POST", path, 403, R"({"error":"This computer was removed from “My devices”."})", 1);
  EXPECT_EQ(messageOf([&] { heartbeat(client); }), "This computer was removed from “My devices”.");
  server->inject("POST", path, 500, "<html><body>Internal Server Error</body></html>", 1);
  EXPECT_EQ(messageOf([&] { heartbeat(client); }), kInterrupted);
  for (const char* body : {R"({"error":42})", R"(["error"])", R"({"message":"x"})", "", "null"}) {
    server->inject("POST", path, 400, body, 1);
    EXPECT_EQ(messageOf([&] { heartbeat(client); }), kInterrupted) << body;
  }
  // A redirect without an address is a failed answer too.
  server->inject("POST", path, 302, "", 1);
  EXPECT_EQ(messageOf([&] { heartbeat(client); }), kInterrupted);
  server->inject("POST", path, 201, R"({"ok":true,"extra":1})", 1);
  EXPECT_TRUE(Resources::heartbeat(client, Readiness::ready, "").ok);

  // The real server's own refusal: a token it never issued.
  Credentials stranger = *Vault::read();
  stranger.accessToken = "unknown";
  Vault::save(stranger);
  EXPECT_EQ(messageOf([&] { heartbeat(client); }),
            "Your sign in is no longer valid. Sign in again in Trellisant.");
}

TEST_F(ApiClientTest, FollowsRedirectsOnlyOnTheServersOwnOrigin) {
  Credentials credentials = signIn();
  API client = api();
  const std::string native = "/api/v1/native/", beat = native + "heartbeat";
  // Moved with 308: the same method, body and token at the new place.
  server->redirect("POST", beat, 308, beat + "?moved=1", 1);
  EXPECT_TRUE(heartbeat(client).ok);
  auto sent = requestsTo(beat);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].target, beat + "?moved=1");
  EXPECT_EQ(sent[1].method, "POST");
  EXPECT_EQ(sent[1].body, sent[0].body);
  EXPECT_EQ(sent[1].header("Authorization"), "Bearer " + credentials.accessToken);
  // A 303 after a POST fetches its answer with a GET.
  server->redirect("POST", beat, 303, native + "deliveries", 1);
  EXPECT_TRUE(client.request("heartbeat", "POST", Json::object()).contains("deliveries"));
  EXPECT_EQ(requestsTo(native + "deliveries").back().method, "GET");

  // Ten hops are followed, the eleventh is refused; so is a POST moved by 301.
  auto list = [&] { client.request<API::Deliveries>("deliveries", "GET", std::nullopt); };
  server->redirect("GET", native + "deliveries", 301, native + "deliveries", 10);
  EXPECT_EQ(messageOf(list), "(no failure)");
  server->redirect("GET", native + "deliveries", 302, native + "deliveries", 11);
  EXPECT_EQ(messageOf(list), kInterrupted);
  server->clearInjections();
  server->redirect("POST", beat, 301, beat, 1);
  EXPECT_EQ(messageOf([&] { heartbeat(client); }), kInterrupted);

  // Another host name, scheme or port is never asked, so the token stays with the server.
  const std::string port = std::to_string(server->port());
  for (std::string elsewhere : {"https://127.0.0.1:" + port, "http://trellisant.test:" + port,
                                "https://trellisant.test:" + std::to_string(server->port() + 1)}) {
    server->clearRequests();
    server->redirect("GET", native + "deliveries", 307, elsewhere + native + "deliveries", 1);
    EXPECT_EQ(messageOf(list), kInterrupted) << elsewhere;
    EXPECT_EQ(server->requests().size(), 1u) << elsewhere;
  }

  // The event stream follows too.
  setReceiving(true);
  server->redirect("GET", native + "events", 307, native + "events?moved=1", 1);
  server->signalEvent();
  EXPECT_EQ(client.waitForEvent(0), server->lastEventId());
}

TEST_F(ApiClientTest, BoundsWhatTheServerSends) {
  Credentials credentials = signIn();
  setReceiving(true);
  API client = api();
  const std::string native = "/api/v1/native/";
  server->inject("GET", native + "deliveries", 200,
                 R"({"deliveries":[],"pad":")" + std::string(9 << 20, 'x') + R"("})", 1);
  EXPECT_EQ(messageOf([&] { client.request("deliveries", "GET", std::nullopt); }), kTooMuch);
  server->inject("GET", native + "events", 200, std::string(64 << 10, 'x'), 1);
  EXPECT_EQ(messageOf([&] { client.waitForEvent(0); }), kTooMuch);

  // An event stream that trickles bytes but never a line still ends at the time limit.
  LoopbackServer trickle([](int fd) {
    readHead(fd);
    writeAll(fd, "HTTP/1.1 200 OK\r\n\r\n");
    while (writeAll(fd, "x")) std::this_thread::sleep_for(20ms);
  });
  credentials.server = trickle.url();
  Vault::save(credentials);
  API plain(trickle.url(), EventTiming{300ms, 35s});
  std::stop_source watchdog;
  auto waited = std::async(std::launch::async, [&] { return plain.waitForEvent(4, watchdog.get_token()); });
  if (waited.wait_for(10s) != std::future_status::ready) watchdog.request_stop();
  EXPECT_EQ(waited.get(), 4);
}

TEST_F(ApiClientTest, DecodingFailuresAndNullAnswers) {
  signIn();
  API client = api();
  server->inject("GET", "/api/v1/native/deliveries", 200, R"({"deliveries":[{"id":"d"}]})", 1);
  EXPECT_THROW(client.request<API::Deliveries>("deliveries", "GET", std::nullopt), DecodingError);
  server->inject("GET", "/api/v1/native/deliveries", 200, "not json", 1);
  EXPECT_THROW(client.request("deliveries", "GET", std::nullopt), DecodingError);
  server->inject("POST", "/api/v1/native/heartbeat", 200, "null", 2);
  EXPECT_TRUE(client.request("heartbeat", "POST", Json::object()).is_null());
  EXPECT_THROW(heartbeat(client), DecodingError);
}

TEST_F(ApiClientTest, TokenEndpointFailuresAndFormEncoding) {
  std::string endpoint = server->baseUrl() + std::string(kTokenPath);
  // The sandbox answers 400 with a JSON error body for an unknown code.
  EXPECT_EQ(messageOf([&] {
              API::token(endpoint, {{"grant_type", "authorization_code"},
                                    {"client_id", "trellisant-native"},
                                    {"code", "a+b c/d"}});
            }),
            kSignInExpired);
  auto sent = requestsTo(kTokenPath).back();
  EXPECT_EQ(sent.body,
            "grant_type=authorization_code&client_id=trellisant-native&code=a%2Bb%20c%2Fd");

  server->inject("POST", std::string(kTokenPath), 201, R"({"access_token":"t","expires_in":60})",
                 1);
  EXPECT_EQ(messageOf([&] { API::token(endpoint, {}); }), kSignInExpired);
  EXPECT_TRUE(requestsTo(kTokenPath).back().body.empty());

  server->inject("POST", std::string(kTokenPath), 200, R"({"accessToken":"t","expires_in":60.5})",
                 1);
  API::Token token = API::token(endpoint, {{"grant_type", "refresh_token"}});
  EXPECT_EQ(token.accessToken, "t");
  EXPECT_FALSE(token.refreshToken);
  EXPECT_DOUBLE_EQ(token.expiresIn, 60.5);
  server->inject("POST", std::string(kTokenPath), 200, R"({"access_token":"t","expires_in":"60"})",
                 1);
  EXPECT_THROW(API::token(endpoint, {}), DecodingError);
}

namespace {
class PlainHttpTest : public CompanyTest {
 protected:
  Options options() override {
    Options options = CompanyTest::options();
    options.tls = false;
    return options;
  }
};
}  // namespace

TEST_F(PlainHttpTest, LoopbackServerOverPlainHttp) {
  EXPECT_EQ(server->baseUrl(), "http://127.0.0.1:" + std::to_string(server->port()));
  signIn(44s);
  API api(server->baseUrl());
  EXPECT_TRUE(Resources::heartbeat(api, Readiness::setup, "").ok);
  EXPECT_EQ(requestsTo(kTokenPath).size(), 1u);
  // Credentials issued for 127.0.0.1 do not belong to "localhost".
  API other("http://localhost:" + std::to_string(server->port()));
  EXPECT_EQ(messageOf([&] { other.request("deliveries", "GET", std::nullopt); }),
            "Sign in to Trellisant first.");
}

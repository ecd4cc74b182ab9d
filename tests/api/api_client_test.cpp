// The client of the company server, against the sandbox over loopback TLS, and what it decodes.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <future>
#include <thread>
#include <tuple>

#include "api/resources.h"
#include "company_fixture.h"
#include "loopback_server.h"
#include "settings/preferences.h"
#include "store.h"
#include "settings/paths.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

constexpr const char* kInterrupted = "Your connection was interrupted. Trellisant will retry.";
constexpr const char* kExpired = "Your device sign in has expired. Sign in again in Trellisant.";
const std::string kNative = "/api/v1/native/", kBeat = kNative + "heartbeat",
                  kEvents = kNative + "events", kList = kNative + "deliveries";

class ApiClientTest : public CompanyTest {
 protected:
  void SetUp() override {
    options.manifestPageSize = 2;
    options.keepAliveInterval = 100ms;
    CompanyTest::SetUp();
    api.emplace(server->baseUrl(), EventTiming{600ms, 35s});
  }
  std::string heartbeat() { return failureOf([&] { Resources::heartbeat(*api, Readiness::ready, "Footage"); }); }

  std::optional<API> api;
};

}  // namespace

TEST_F(ApiClientTest, SendsTheTokensAndSharesOneRefreshShortlyBeforeExpiry) {
  Credentials later = signIn(46s);
  heartbeat();
  auto beat = requestsTo(kBeat).at(0);
  EXPECT_EQ(beat.header("Authorization"), "Bearer " + later.accessToken);
  EXPECT_EQ(beat.header("X-Device-Key"), later.deviceKey);
  EXPECT_TRUE(requestsTo(kTokenPath).empty());

  // Within 45 s of expiry: callers arriving while the refresh is in flight share it.
  Credentials soon = signIn(44s);
  server->delay("POST", std::string(kTokenPath), 300ms);
  {
    std::barrier ready(3);
    std::vector<std::jthread> callers;
    for (int i = 0; i < 3; ++i) callers.emplace_back([&] {
      ready.arrive_and_wait();
      EXPECT_EQ(heartbeat(), "");
    });
  }
  ASSERT_EQ(requestsTo(kTokenPath).size(), 1u);
  Credentials renewed = *Vault::read();
  EXPECT_NE(renewed.accessToken, soon.accessToken);
  auto beats = requestsTo(kBeat);
  ASSERT_EQ(beats.size(), 4u);
  for (std::size_t i = 1; i < beats.size(); ++i) EXPECT_EQ(beats[i].header("Authorization"), "Bearer " + renewed.accessToken);
  // A caller still holding the spent refresh token gets the renewed record, not a refusal.
  EXPECT_EQ(api->refresh(soon).accessToken, renewed.accessToken);
  EXPECT_EQ(requestsTo(kTokenPath).size(), 1u);
}

TEST_F(ApiClientTest, RefreshKeepsTheRefreshTokenARefusedOneSendsNothingAndPlusIsEncoded) {
  server->setGrantRefreshToken(false);
  Credentials old = signIn(5s);
  heartbeat();
  EXPECT_NE(Vault::read()->accessToken, old.accessToken);
  EXPECT_EQ(Vault::read()->refreshToken, old.refreshToken);

  old.refreshToken = "not-issued";
  Vault::save(old);
  server->clearRequests();
  EXPECT_EQ(heartbeat(), kExpired);
  EXPECT_TRUE(requestsTo(kBeat).empty());
  EXPECT_EQ(Vault::read()->accessToken, old.accessToken);

  const std::string endpoint = server->baseUrl() + std::string(kTokenPath);
  EXPECT_EQ(failureOf([&] { API::token(endpoint, {{"code", "a+b c"}}); }), kExpired);
  EXPECT_EQ(requestsTo(kTokenPath).back().body, "code=a%2Bb%20c") << "not a space";
}

TEST_F(ApiClientTest, MapsFailedAnswersToTheirMessages) {
  EXPECT_EQ(heartbeat(), "Sign in to Trellisant first.");
  Credentials credentials = signIn();
  for (auto [status, body, message] : std::vector<std::tuple<int, std::string, std::string>>{
           {403, R"({"error":"This computer was removed."})", "This computer was removed."},
           {500, "<html>Internal Server Error</html>", kInterrupted}, {302, "", kInterrupted},
           {201, R"({"ok":true,"extra":1})", ""}}) {
    server->inject("POST", kBeat, status, body, 1);
    EXPECT_EQ(heartbeat(), message) << status << " " << body;
  }
  credentials.accessToken = "unknown";
  Vault::save(credentials);
  EXPECT_EQ(heartbeat(), "Your sign in is no longer valid. Sign in again in Trellisant.");

  // The tokens of another server are never sent to this one.
  credentials.server = "https://elsewhere.example";
  Vault::save(credentials);
  server->clearRequests();
  EXPECT_EQ(heartbeat(), "Sign in to Trellisant first.");
  EXPECT_EQ(api->waitForEvent(12), 12);
  EXPECT_TRUE(server->requests().empty());
}

TEST_F(ApiClientTest, FollowsRedirectsOnlyOnTheServersOwnOrigin) {
  Credentials credentials = signIn();
  API withPath(server->baseUrl() + "/x/");
  EXPECT_EQ(failureOf([&] { Resources::deliveries(withPath); }), "") << "the address's path is dropped";
  // Moved with 308: the same method, body and token at the new place.
  server->redirect("POST", kBeat, 308, kBeat + "?moved=1", 1);
  EXPECT_EQ(heartbeat(), "");
  auto sent = requestsTo(kBeat);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].method + sent[1].body, sent[0].method + sent[0].body);
  EXPECT_EQ(sent[1].header("Authorization"), "Bearer " + credentials.accessToken);
  // A 303 fetches its answer with a GET; a POST moved by 301 or 302 is refused; ten hops are
  // followed, the eleventh is not.
  for (auto [method, status, hops, message, asked] : std::vector<std::tuple<std::string, int, int, std::string, std::size_t>>{
           {"POST", 303, 1, "", 2}, {"POST", 301, 1, kInterrupted, 1}, {"POST", 302, 1, kInterrupted, 1},
           {"GET", 301, 10, "", 11}, {"GET", 302, 11, kInterrupted, 11}}) {
    server->clearRequests();
    server->redirect(method, kList, status, kList, hops);
    std::optional<Json> body = method == "POST" ? std::optional(Json::object()) : std::nullopt;
    EXPECT_EQ(failureOf([&] { api->request("deliveries", method, body); }), message) << method << status;
    EXPECT_EQ(server->requests().size(), asked) << method << status;
    EXPECT_EQ(server->requests().back().method, status == 303 ? "GET" : method) << method << status;
  }

  // Another host name, scheme or port is never asked, so the token stays with the server.
  const std::string port = std::to_string(server->port());
  for (std::string elsewhere : {"https://127.0.0.1:" + port, "http://trellisant.test:" + port,
                                "https://trellisant.test:" + std::to_string(server->port() + 1)}) {
    server->clearRequests();
    server->redirect("GET", kList, 307, elsewhere + kList, 1);
    EXPECT_EQ(failureOf([&] { Resources::deliveries(*api); }), kInterrupted) << elsewhere;
    EXPECT_EQ(server->requests().size(), 1u) << elsewhere;
  }
}

TEST_F(ApiClientTest, ReadsTheManifestPageByPageAndRefusesAnIncompleteOne) {
  signIn();
  std::filesystem::create_directories(home.root() / "reel");
  for (int i = 0; i < 5; ++i) writeText(home.root() / "reel" / (std::to_string(i) + ".mov"), "x");
  server->addDelivery(sandbox::deliveryFromFolder(home.root() / "reel", "d", "Acme", "Promo", "Cut"));
  Delivery delivery = Resources::deliveries(*api).deliveries.at(0);
  const std::string manifest = kNative + "deliveries/d/manifest";

  EXPECT_EQ(api->files(delivery).size(), 5u);
  std::vector<std::string> targets;
  for (auto& request : requestsTo(manifest)) targets.push_back(request.target.substr(manifest.size()));
  EXPECT_EQ(targets, (std::vector<std::string>{"?offset=0", "?offset=2", "?offset=4"}));

  const std::string incomplete = "The file list is incomplete. Trellisant will retry.";
  server->inject("GET", manifest + "?offset=2", 200, R"({"files":[],"total":5})", 1);
  EXPECT_EQ(failureOf([&] { api->files(delivery); }), incomplete);
  delivery.fileCount = 3;  // the last page overshoots
  EXPECT_EQ(failureOf([&] { api->files(delivery); }), incomplete);
}

TEST_F(ApiClientTest, EventWaitsResumeEndAtKeepAlivesStopAndAreBounded) {
  Credentials old = signIn(30s);
  Preferences receiving;
  receiving.receiving = true;
  receiving.save(Paths::preferencesFile());
  server->signalEvent();
  server->signalEvent();
  // Events after the last one seen arrive at once, on a token renewed before connecting.
  EXPECT_EQ(api->waitForEvent(1), 2);
  EXPECT_NE(Vault::read()->accessToken, old.accessToken);
  EXPECT_EQ(requestsTo(kEvents).at(0).header("Authorization"), "Bearer " + Vault::read()->accessToken);
  // Nothing newer: the wait ends at its time limit; each asks from the last id seen.
  EXPECT_EQ(api->waitForEvent(2), 2);
  EXPECT_EQ(requestsTo(kEvents).at(0).header("Last-Event-ID"), "1");
  EXPECT_EQ(requestsTo(kEvents).at(1).header("Last-Event-ID"), "2");

  // On a stream that never ends, only a stop or receiving switched off ends a 25 s wait early:
  // within 20 s, far beyond the keep-alive after which either takes effect, or it fails.
  auto bounded = [](API& api, std::stop_source stop) {
    auto waited = std::async(std::launch::async, [&] {
      return api.waitForEvent(2, stop.get_token(), [] { return Preferences::load().receiving; });
    });
    EXPECT_EQ(waited.wait_for(20s), std::future_status::ready) << "the wait went on";
    stop.request_stop();
    return waited.get();
  };
  API patient(server->baseUrl());
  std::stop_source stop;
  std::jthread switching([&] {
    if (!waitUntil([&] { return requestsTo(kEvents).size() == 3; })) return;
    stop.request_stop();
    receiving.receiving = false;
    if (waitUntil([&] { return requestsTo(kEvents).size() == 4; })) receiving.save(Paths::preferencesFile());
  });
  EXPECT_THROW(bounded(patient, stop), Cancelled);
  EXPECT_EQ(bounded(patient, {}), 2);

  // A stream that sends nothing fails after the idle timeout; a line too long fails at once.
  server->delay("GET", kEvents, 5s, 1);
  API idle(server->baseUrl(), EventTiming{30s, 1s});
  EXPECT_THROW(idle.waitForEvent(0), PlatformError);
  server->inject("GET", kEvents, 200, std::string(64 << 10, 'x'), 1);
  EXPECT_EQ(failureOf([&] { api->waitForEvent(0); }), "<other: The server sent more data than expected.>");

  // A stream that trickles bytes, never a line, ends at the wait's limit.
  LoopbackServer trickle([](int fd) {
    for (bool sent = !readHead(fd).empty() && writeAll(fd, "HTTP/1.1 200 OK\r\n\r\n"); sent; sent = writeAll(fd, "x"))
      std::this_thread::sleep_for(20ms);
  });
  Credentials elsewhere = *Vault::read();
  elsewhere.server = trickle.url();
  Vault::save(elsewhere);
  API plain(trickle.url(), EventTiming{300ms, 35s});
  EXPECT_EQ(bounded(plain, {}), 2);
}

// Threads that each open a new connection to one server at the same moment: every request is
// answered, and under ThreadSanitizer no TLS session is handed to two handshakes at once.
TEST_F(ApiClientTest, ConcurrentNewConnectionsToOneServerEachSucceed) {
  constexpr int kThreads = 6, kRounds = 60;
  http::Request probe;
  probe.url = server->baseUrl() + kList;
  std::atomic<int> answered = 0;
  for (int round = 0; round < kRounds; ++round) {
    http::setConnectionReuse(false);  // empties the pool: each thread takes a new handle
    http::setConnectionReuse(true);
    std::barrier start(kThreads);
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        start.arrive_and_wait();
        if (http::perform(probe).status == 401) ++answered;
      });
  }
  EXPECT_EQ(answered, kThreads * kRounds);
}

// Headers go out to the provider as given: a line break would smuggle in headers of the
// server's choosing. Sizes are decimal strings.
TEST(Records, CapabilityHeadersMustBeSendable) {
  auto decode = [](const std::string& headers, const std::string& size = R"("9")") {
    return Capability::fromJson(parseJson(R"({"url":"https://a.frame.io/b","headers":)" + headers +
                                          R"(,"size":)" + size + R"(,"fingerprint":"v"})"));
  };
  EXPECT_EQ(decode(R"({"X-Sig":"a b\tc=;/+"})").headers, (http::Headers{{"X-Sig", "a b\tc=;/+"}}));
  for (const char* bad : {R"({"X-A":"1\r\nX-Injected: yes"})", R"({"X-A":"1\nRange: bytes=0-"})",
                          R"({"X-A":"1\u0000"})", R"({"X-A\r\nHost":"x"})", R"({"X A":"1"})",
                          R"({"X:A":"1"})", R"({"":"1"})", R"({"A":1})", "[]"})
    EXPECT_THROW(decode(bad), DecodingError) << bad;
  EXPECT_THROW(decode("{}", "9"), DecodingError);
}

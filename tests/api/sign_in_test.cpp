#include "api/sign_in.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "api/api.h"
#include "api/http.h"
#include "api/resources.h"
#include "company_fixture.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kUnavailable = "Trellisant is unavailable at this server address.";
constexpr const char* kUnexpected = "The sign in server returned an unexpected address.";
constexpr const char* kDenied = "This sign in request is invalid or was denied.";
constexpr const char* kCanceled = "Sign in was canceled. You can try again.";

std::string messageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception& error) {
    return userMessage(error);
  }
  return "(no failure)";
}

class SignInTest : public CompanyTest {
 protected:
  Preferences preferences() const {
    Preferences preferences;
    preferences.server = server->baseUrl();
    return preferences;
  }

  // What the browser does with the authorization URL: the sandbox answers with a redirect
  // to the app's callback address.
  static Url browse(const std::string& authorizationURL) {
    http::Request request;
    request.url = authorizationURL;
    auto response = http::perform(request);
    EXPECT_EQ(response.status, 302) << response.body;
    auto callback = Url::parse(response.header("Location").value_or(""));
    EXPECT_TRUE(callback);
    return callback.value_or(Url{});
  }

  void serveConfig(const Json& config) {
    server->clearInjections();
    server->inject("GET", "/api/native-config", 200, config.dump());
  }

  Json config() const {
    return Json{{"clientId", "trellisant-native"},
                {"authorizationEndpoint", server->baseUrl() + "/oauth/authorize"},
                {"tokenEndpoint", server->baseUrl() + "/api/auth/oauth2/token"}};
  }
};

TEST_F(SignInTest, SignsInEnrollsAndSendsTheDeviceKey) {
  auto pending = SignInFlow::begin(preferences());
  auto discovery = requestsTo("/api/native-config").at(0);
  EXPECT_FALSE(discovery.header("Authorization")) << "discovery is a plain request";

  auto url = Url::parse(pending.authorizationURL);
  ASSERT_TRUE(url);
  EXPECT_EQ(url->origin() + url->path, server->baseUrl() + "/oauth/authorize");
  std::set<std::string> names;
  for (auto& [name, value] : url->queryItems()) names.insert(name);
  EXPECT_EQ(names, (std::set<std::string>{"client_id", "redirect_uri", "response_type", "prompt",
                                          "scope", "code_challenge", "code_challenge_method",
                                          "state"}));
  EXPECT_EQ(url->queryItems().size(), 8u);
  EXPECT_EQ(url->firstQueryValue("scope"), "openid profile offline_access device:receive");
  EXPECT_EQ(url->firstQueryValue("redirect_uri"), "trellisant://oauth/callback");
  EXPECT_EQ(url->firstQueryValue("prompt"), "consent");
  EXPECT_EQ(url->firstQueryValue("state"), pending.state);
  EXPECT_NE(pending.state, pending.codeVerifier);

  CallbackWaiter waiter(pending.state);
  std::jthread browser([&] { EXPECT_TRUE(waiter.deliver(browse(pending.authorizationURL))); });
  Url callback = waiter.wait(10s);
  SignInFlow::finish(pending, callback, "Edit Suite 2");

  auto stored = Vault::read();
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->server, server->baseUrl());
  EXPECT_EQ(stored->clientId, "trellisant-native");
  ASSERT_TRUE(stored->deviceId && stored->deviceKey);
  EXPECT_GT(stored->expiresAt, SystemClock::now() + 3500s);
  auto enroll = requestsTo("/api/v1/native/enroll").at(0);
  EXPECT_EQ(parseJson(enroll.body), (Json{{"name", "Edit Suite 2"}, {"version", "0.1.2"}}));
  EXPECT_EQ(enroll.header("Authorization"), "Bearer " + stored->accessToken);
  EXPECT_TRUE(hasDeviceSignIn(preferences()));

  API api(server->baseUrl());
  Resources::heartbeat(api, Readiness::ready, "");
  EXPECT_EQ(requestsTo("/api/v1/native/heartbeat").at(0).header("X-Device-Key"), stored->deviceKey);

  EXPECT_EQ(messageOf([&] { SignInFlow::finish(pending, callback, "Again"); }),
            "Your device sign in has expired. Sign in again in Trellisant.")
      << "a code is good for one exchange";

  signOut(preferences());
  EXPECT_FALSE(Vault::read());
  EXPECT_EQ(requestsTo("/api/v1/native/revoke").size(), 1u);
}

TEST_F(SignInTest, RefusesDiscoveryThatIsNotThisServers) {
  server->inject("GET", "/api/native-config", 404, R"({"error":"Not here."})", 1);
  EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnavailable);
  server->inject("GET", "/api/native-config", 201, config().dump(), 1);
  EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnavailable);

  for (const char* key : {"clientId", "authorizationEndpoint", "tokenEndpoint"}) {
    Json doctored = config();
    doctored.erase(key);
    serveConfig(doctored);
    EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnavailable) << key;
    doctored = config();
    doctored[key] = 7;
    serveConfig(doctored);
    EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnavailable) << key;
  }
  serveConfig(Json::array({config()}));
  EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnavailable);

  auto port = std::to_string(server->port());
  for (std::string elsewhere : std::vector<std::string>{"https://login.trellisant.test:" + port + "/api/auth/oauth2/token",
                                "https://TRELLISANT.test:" + port + "/api/auth/oauth2/token",
                                "http://trellisant.test:" + port + "/api/auth/oauth2/token",
                                "https://trellisant.test/api/auth/oauth2/token",
                                "/api/auth/oauth2/token"}) {
    Json doctored = config();
    doctored["tokenEndpoint"] = elsewhere;
    serveConfig(doctored);
    EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnavailable) << elsewhere;
  }

  server->clearInjections();
  server->inject("GET", "/api/native-config", 200, "<html>maintenance</html>");
  auto parser = messageOf([&] { SignInFlow::begin(preferences()); });
  EXPECT_NE(parser, kUnavailable) << "a body that is not JSON ends with the parser's error";
  EXPECT_NE(parser, "(no failure)");
  EXPECT_TRUE(Vault::read() == std::nullopt);
}

TEST_F(SignInTest, RefusesAnAuthorizationPageElsewhere) {
  auto port = std::to_string(server->port());
  for (std::string elsewhere : std::vector<std::string>{"https://evil.test:" + port + "/oauth/authorize",
                                "https://trellisant.test:1/oauth/authorize",
                                "not a url at all"}) {
    Json doctored = config();
    doctored["authorizationEndpoint"] = elsewhere;
    serveConfig(doctored);
    EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnexpected) << elsewhere;
  }
  Json withQuery = config();
  withQuery["authorizationEndpoint"] = server->baseUrl() + "/oauth/authorize?client_id=other&x=1";
  serveConfig(withQuery);
  auto url = Url::parse(SignInFlow::begin(preferences()).authorizationURL);
  EXPECT_EQ(url->queryItems().size(), 8u) << "the endpoint's own query is replaced";
  EXPECT_EQ(url->firstQueryValue("client_id"), "trellisant-native");
}

TEST_F(SignInTest, AcceptsOnlyThisSignInsCallback) {
  auto pending = SignInFlow::begin(preferences());
  CallbackWaiter waiter(pending.state);
  Url callback = browse(pending.authorizationURL);
  auto code = callback.firstQueryValue("code").value();
  auto with = [&](const std::string& text) { return Url::parse(text).value(); };
  for (std::string wrong : std::vector<std::string>{"trellisant://other/callback?code=" + code + "&state=" + pending.state,
                            "trellisant://oauth/callback/x?code=" + code + "&state=" + pending.state,
                            "https://oauth/callback?code=" + code + "&state=" + pending.state,
                            "trellisant://oauth/callback?code=" + code + "&state=stale",
                            "trellisant://oauth/callback?code=" + code}) {
    EXPECT_FALSE(waiter.deliver(with(wrong))) << wrong;
    EXPECT_TRUE(waiter.waiting());
  }
  EXPECT_TRUE(waiter.deliver(callback));
  EXPECT_FALSE(waiter.deliver(callback)) << "a second callback finds nobody waiting";
  EXPECT_EQ(waiter.wait(0s).text, callback.text);
  SignInFlow::finish(pending, callback, "Edit Suite 2");
  EXPECT_TRUE(Vault::read()->deviceKey);
}

TEST_F(SignInTest, EndsOnDenialCancelAndTimeLimit) {
  server->setDenyAuthorization(true);
  auto pending = SignInFlow::begin(preferences());
  Url denied = browse(pending.authorizationURL);
  EXPECT_FALSE(denied.firstQueryValue("code"));
  CallbackWaiter waiter(pending.state);
  EXPECT_TRUE(waiter.deliver(denied)) << "the error callback carries the right state";
  EXPECT_EQ(messageOf([&] { SignInFlow::finish(pending, waiter.wait(0s), "x"); }), kDenied);

  CallbackWaiter canceled(pending.state);
  std::jthread user([&] {
    std::this_thread::sleep_for(50ms);
    canceled.cancel();
  });
  EXPECT_EQ(messageOf([&] { canceled.wait(10s); }), kCanceled);
  EXPECT_FALSE(canceled.deliver(denied)) << "a callback after cancel is ignored";

  CallbackWaiter late(pending.state);
  EXPECT_EQ(messageOf([&] { late.wait(30ms); }), kCanceled);
  EXPECT_FALSE(late.waiting());

  CallbackWaiter stopped(pending.state);
  std::stop_source stop;
  stop.request_stop();
  EXPECT_THROW(stopped.wait(10s, stop.get_token()), Cancelled);
  EXPECT_TRUE(requestsTo(kTokenPath).empty());
}

TEST_F(SignInTest, RequiresARefreshTokenAndAnEnrollment) {
  server->setGrantRefreshToken(false);
  auto pending = SignInFlow::begin(preferences());
  EXPECT_EQ(messageOf([&] { SignInFlow::finish(pending, browse(pending.authorizationURL), "x"); }),
            "Background access was not granted. Sign in again.");
  EXPECT_FALSE(Vault::read());

  server->setGrantRefreshToken(true);
  server->inject("POST", "/api/v1/native/enroll", 403,
                 R"({"error":"This company allows no more devices."})");
  pending = SignInFlow::begin(preferences());
  EXPECT_EQ(messageOf([&] { SignInFlow::finish(pending, browse(pending.authorizationURL), "x"); }),
            "This company allows no more devices.");
  auto stored = Vault::read();
  ASSERT_TRUE(stored) << "the tokens stay stored";
  EXPECT_FALSE(stored->deviceKey);
  EXPECT_FALSE(hasDeviceSignIn(preferences()));
}

TEST_F(SignInTest, AnAbsurdTokenLifetimeIsBoundedAsOnRefresh) {
  server->inject("POST", std::string(kTokenPath), 200,
                 R"({"access_token":"a","refresh_token":"r","expires_in":1e300})");
  auto pending = SignInFlow::begin(preferences());
  messageOf([&] { SignInFlow::finish(pending, browse(pending.authorizationURL), "x"); });
  auto stored = Vault::read();
  ASSERT_TRUE(stored);
  EXPECT_GT(stored->expiresAt, SystemClock::now() + 24h * 365 * 9);
  EXPECT_LT(stored->expiresAt, SystemClock::now() + 24h * 365 * 11);
}

TEST_F(SignInTest, SignOutOfflineKeepsTheCredentials) {
  Credentials credentials = signIn();
  std::string url = server->baseUrl() + "/api/v1/native/revoke";
  server->stop();
  std::string transport = messageOf([&] {
    http::Request request;
    request.url = url;
    http::perform(request);
  });
  EXPECT_EQ(messageOf([&] { signOut(preferences()); }),
            "Connect to the server to finish signing out, or revoke this computer from My devices. " +
                transport);
  auto kept = Vault::read();
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->accessToken, credentials.accessToken);
  EXPECT_EQ(kept->deviceKey, credentials.deviceKey);
}

// With the server on the https default port its address carries no port, and a token
// endpoint that spells out ":443" is not the same address.
class DefaultPortSignInTest : public SignInTest {
 protected:
  void SetUp() override {
    Options options = CompanyTest::options();
    options.bindAddress = "127.0.2.17";
    options.port = 443;
    try {
      server = std::make_unique<sandbox::CompanyServer>(options);
      server->start();
    } catch (const PlatformError&) {
      server.reset();
      GTEST_SKIP() << "port 443 on 127.0.2.17 is not available here";
    }
    http::testing::setOverrides({{"trellisant.test:443:127.0.2.17"}, (options.tlsFolder / "ca.pem").string()});
  }
};

TEST_F(DefaultPortSignInTest, ExplicitDefaultPortIsAnotherAddress) {
  ASSERT_EQ(server->baseUrl(), "https://trellisant.test");
  EXPECT_NO_THROW(SignInFlow::begin(preferences()));
  Json doctored = config();
  doctored["tokenEndpoint"] = "https://trellisant.test:443/api/auth/oauth2/token";
  serveConfig(doctored);
  EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnavailable);
  doctored = config();
  doctored["authorizationEndpoint"] = "https://trellisant.test:443/oauth/authorize";
  serveConfig(doctored);
  EXPECT_EQ(messageOf([&] { SignInFlow::begin(preferences()); }), kUnexpected);
}

TEST(ComputerName, PrefersThePrettyHostname) {
  TempDir dir;
  writeText(dir / "machine-info", "ICON_NAME=computer-laptop\nPRETTY_HOSTNAME=\"Anna’s \\\"Edit\\\" Bay\"\n");
  EXPECT_EQ(computerName(dir / "machine-info"), "Anna’s \"Edit\" Bay");
  writeText(dir / "machine-info", "PRETTY_HOSTNAME=Grading\n");
  EXPECT_EQ(computerName(dir / "machine-info"), "Grading");
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  writeText(dir / "machine-info", "PRETTY_HOSTNAME=\n");
  EXPECT_EQ(computerName(dir / "machine-info"), host[0] ? host : "My computer");
  EXPECT_EQ(computerName(dir / "missing"), host[0] ? host : "My computer");
}

}  // namespace

// Sign-in, sign-out and the readiness test against the sandbox's OAuth endpoints.
#include "api/sign_in.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>
#include <tuple>

#include "api/pkce.h"
#include "api/resources.h"
#include "company_fixture.h"
#include "control/readiness.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

constexpr const char* kUnavailable = "Trellisant is unavailable at this server address.";
constexpr const char* kUnexpected = "The sign in server returned an unexpected address.";

class SignInTest : public CompanyTest {
 protected:
  void SetUp() override {
    CompanyTest::SetUp();
    preferences.server = server->baseUrl();
  }

  std::string finishFails() {
    auto pending = SignInFlow::begin(preferences);
    return failureOf([&] { SignInFlow::finish(pending, Url::parse(locationOf(pending.authorizationURL)).value_or(Url{}), "x"); });
  }

  Preferences preferences;
};

TEST_F(SignInTest, SignsInWithPkceTakingOnlyItsOwnCallbackEnrollsAndSignsOutOnlyOnline) {
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),  // RFC 7636, App. B
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  auto pending = SignInFlow::begin(preferences);
  auto url = Url::parse(pending.authorizationURL).value();
  EXPECT_EQ(url.queryItems().size(), 8u);
  EXPECT_EQ(url.firstQueryValue("code_challenge"), pkceChallenge(pending.codeVerifier));
  EXPECT_EQ(url.firstQueryValue("code_challenge_method"), "S256");
  EXPECT_EQ(url.firstQueryValue("scope"), "openid profile offline_access device:receive");
  EXPECT_EQ(url.firstQueryValue("redirect_uri"), "trellisant://oauth/callback");
  EXPECT_EQ(url.firstQueryValue("state"), pending.state);
  EXPECT_NE(pending.state, SignInFlow::begin(preferences).state);

  CallbackWaiter waiter(pending.state);
  Url callback = Url::parse(locationOf(pending.authorizationURL)).value();
  const std::string query = "?code=" + callback.firstQueryValue("code").value();
  for (std::string wrong : {"trellisant://other/callback" + query + "&state=" + pending.state,
                            "https://oauth/callback" + query + "&state=" + pending.state,
                            "trellisant://oauth/callback" + query + "&state=stale",
                            "trellisant://oauth/callback" + query})
    EXPECT_FALSE(waiter.deliver(Url::parse(wrong).value())) << wrong;
  std::jthread browser([&] { EXPECT_TRUE(waiter.deliver(callback)); });
  SignInFlow::finish(pending, waiter.wait(10s), "Edit Suite 2");
  EXPECT_FALSE(waiter.deliver(callback)) << "a second callback finds nobody waiting";
  auto exchange = requestsTo(kTokenPath).at(0).body;
  EXPECT_NE(exchange.find("&code_verifier=" + pending.codeVerifier + "&"), std::string::npos);
  EXPECT_EQ(parseJson(requestsTo("/api/v1/native/enroll").at(0).body), (Json{{"name", "Edit Suite 2"}, {"version", "0.1.2"}}));
  EXPECT_TRUE(hasDeviceSignIn(preferences));

  // Offline, the sign-in stays (the device is revoked by signing out online: SignOutMidDownload).
  const auto device = Vault::read().value().deviceKey;
  server->stop();
  EXPECT_EQ(failureOf([&] { signOut(preferences); }).rfind("Connect to the server to finish signing out, or revoke this computer from My devices. ", 0), 0u);
  EXPECT_EQ(Vault::read().value().deviceKey, device);
}

TEST_F(SignInTest, RefusesDiscoveryAndAuthorizationElsewhere) {
  server->inject("GET", "/api/native-config", 404, R"({"error":"Not here."})", 1);
  EXPECT_EQ(failureOf([&] { SignInFlow::begin(preferences); }), kUnavailable);
  const std::string port = ":" + std::to_string(server->port()), token = "/api/auth/oauth2/token";
  for (auto [key, value, message] : std::vector<std::tuple<std::string, Json, std::string>>{
           {"tokenEndpoint", "https://login.trellisant.test" + port + token, kUnavailable},
           {"tokenEndpoint", "http://trellisant.test" + port + token, kUnavailable},
           {"tokenEndpoint", "https://trellisant.test" + token, kUnavailable},
           {"tokenEndpoint", token, kUnavailable}, {"clientId", 7, kUnavailable},
           {"authorizationEndpoint", "https://evil.test" + port + "/oauth/authorize", kUnexpected},
           {"authorizationEndpoint", "https://trellisant.test:1/oauth/authorize", kUnexpected}}) {
    Json config{{"clientId", "trellisant-native"}, {"authorizationEndpoint", server->baseUrl() + "/oauth/authorize"},
                {"tokenEndpoint", server->baseUrl() + token}};
    config[key] = value;
    server->inject("GET", "/api/native-config", 200, config.dump(), 1);
    EXPECT_EQ(failureOf([&] { SignInFlow::begin(preferences); }), message) << value.dump();
  }
}

// The user's cancel and the time limit: SignInModelTest.CancelTheTimeLimitAndAFailedBrowserEndTheWait.
TEST_F(SignInTest, EndsOnDenialAndStop) {
  server->setDenyAuthorization(true);
  EXPECT_EQ(finishFails(), "This sign in request is invalid or was denied.");
  CallbackWaiter stopped("state");
  std::stop_source stop;
  stop.request_stop();
  EXPECT_EQ(failureOf([&] { stopped.wait(10s, stop.get_token()); }), "<cancelled>");
  EXPECT_TRUE(requestsTo(kTokenPath).empty());
}

TEST_F(SignInTest, NeedsARefreshTokenAndAnEnrollmentAndBoundsTheTokenLifetime) {
  server->setGrantRefreshToken(false);
  EXPECT_EQ(finishFails(), "Background access was not granted. Sign in again.");
  EXPECT_FALSE(Vault::read());

  server->setGrantRefreshToken(true);
  server->inject("POST", "/api/v1/native/enroll", 403, R"({"error":"No more devices."})", 1);
  EXPECT_EQ(finishFails(), "No more devices.");
  ASSERT_TRUE(Vault::read()) << "the tokens stay stored";
  EXPECT_FALSE(hasDeviceSignIn(preferences));

  server->inject("POST", std::string(kTokenPath), 200, R"({"access_token":"a","refresh_token":"r","expires_in":1e300})", 1);
  finishFails();
  auto expiresAt = Vault::read().value().expiresAt;
  EXPECT_GT(expiresAt, SystemClock::now() + 24h * 365 * 9);
  EXPECT_LT(expiresAt, SystemClock::now() + 24h * 365 * 11);
}

TEST_F(SignInTest, ReadinessProbesTheFolderAndAsksTheAgentOrTheServer) {
  auto folder = home.root() / "Footage";
  std::filesystem::create_directories(folder);
  preferences.setDestination(folder);
  AgentStatus agent = AgentStatus::fallback();
  auto test = [&](bool signedIn, bool registered) {
    return failureOf([&] { testReadiness(preferences, signedIn, registered, [&] { return agent; }); });
  };
  EXPECT_EQ(test(false, false), "Sign in to test your device.");
  signIn();
  EXPECT_EQ(test(true, false), "");
  EXPECT_EQ(parseJson(requestsTo("/api/v1/native/heartbeat").at(0).body), (Json{{"readiness", "setup"}, {"destinationLabel", "Footage"}}));
  agent.state = AgentState::needsAttention;
  agent.message = "Your download disk is full. Free up space to resume.";
  EXPECT_EQ(test(true, true), agent.message);
  EXPECT_TRUE(std::filesystem::is_empty(folder)) << "the probe is removed";
  if (::geteuid() != 0) {  // permissions do not bind root
    std::filesystem::permissions(folder, std::filesystem::perms(0500));
    EXPECT_EQ(test(true, false), "Choose a writable download folder.");
  }
}

}  // namespace

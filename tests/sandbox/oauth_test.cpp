#include <gtest/gtest.h>

#include <map>

#include "api/resources.h"
#include "url.h"
#include "company_fixture.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

// The RFC 7636 example pair.
constexpr const char* kVerifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
constexpr const char* kChallenge = "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM";
constexpr const char* kRedirect = "trellisant://oauth/callback";
constexpr const char* kSignInExpired =
    "Your device sign in has expired. Sign in again in Trellisant.";

class OAuthTest : public CompanyTest {
 protected:
  std::map<std::string, std::string> goodQuery() const {
    return {{"client_id", "trellisant-native"},
            {"redirect_uri", kRedirect},
            {"response_type", "code"},
            {"prompt", "consent"},
            {"scope", "openid profile offline_access device:receive"},
            {"code_challenge", kChallenge},
            {"code_challenge_method", "S256"},
            {"state", "s+t/a te"}};
  }

  http::Response authorize(const std::map<std::string, std::string>& query) {
    std::vector<std::pair<std::string, std::string>> items(query.begin(), query.end());
    http::Request request;
    request.url = server->baseUrl() + "/oauth/authorize?" + formEncode(items);
    return http::perform(request);
  }

  // The code of an approved authorization.
  std::string code(const std::map<std::string, std::string>& query) {
    auto response = authorize(query);
    EXPECT_EQ(response.status, 302);
    auto location = Url::parse(response.header("Location").value_or(""));
    return location ? location->firstQueryValue("code").value_or("") : "";
  }

  API::Token exchange(const std::string& code, const std::string& verifier,
                      const std::string& redirect = kRedirect) {
    return API::token(server->baseUrl() + "/api/auth/oauth2/token",
                      {{"grant_type", "authorization_code"},
                       {"client_id", "trellisant-native"},
                       {"code", code},
                       {"code_verifier", verifier},
                       {"redirect_uri", redirect}});
  }

  API::Token refresh(const std::string& refreshToken,
                     const std::string& clientId = "trellisant-native") {
    return API::token(server->baseUrl() + "/api/auth/oauth2/token",
                      {{"grant_type", "refresh_token"},
                       {"refresh_token", refreshToken},
                       {"client_id", clientId}});
  }

  static std::string failure(const std::function<void()>& action) {
    try {
      action();
    } catch (const std::exception& error) {
      return userMessage(error);
    }
    return "(no failure)";
  }
};

}  // namespace

TEST_F(OAuthTest, DiscoveryNamesEndpointsOnThisServer) {
  http::Request request;
  request.url = server->baseUrl() + "/api/native-config";
  auto response = http::perform(request);
  ASSERT_EQ(response.status, 200);
  Json config = parseJson(response.body);
  EXPECT_EQ(config.at("clientId"), "trellisant-native");
  EXPECT_EQ(config.at("authorizationEndpoint"), server->baseUrl() + "/oauth/authorize");
  EXPECT_EQ(config.at("tokenEndpoint"), server->baseUrl() + "/api/auth/oauth2/token");
}

TEST_F(OAuthTest, AuthorizationPageChecksTheRequest) {
  std::vector<std::pair<std::string, std::string>> wrong{
      {"client_id", "someone-else"}, {"redirect_uri", "https://evil.example/cb"},
      {"response_type", "token"},    {"code_challenge_method", "plain"},
      {"code_challenge", "short"},   {"state", ""}};
  for (auto& [key, value] : wrong) {
    auto query = goodQuery();
    query[key] = value;
    auto response = authorize(query);
    EXPECT_EQ(response.status, 400) << key;
    EXPECT_FALSE(response.header("Location")) << key;
  }
  auto query = goodQuery();
  query.erase("state");
  EXPECT_EQ(authorize(query).status, 400);

  auto response = authorize(goodQuery());
  ASSERT_EQ(response.status, 302);
  auto location = Url::parse(response.header("Location").value_or(""));
  ASSERT_TRUE(location);
  EXPECT_EQ(location->scheme, "trellisant");
  EXPECT_EQ(location->host, "oauth");
  EXPECT_EQ(location->path, "/callback");
  EXPECT_EQ(location->firstQueryValue("state"), "s+t/a te");
  EXPECT_EQ(location->firstQueryValue("code").value_or("").size(), 43u);
  // The page shows the same address for tools that read it instead of following it.
  std::string shown = location->text;
  for (std::size_t at = shown.find('&'); at != std::string::npos; at = shown.find('&', at + 1))
    shown.replace(at, 1, "&amp;");
  EXPECT_NE(response.body.find("href=\"" + shown + "\""), std::string::npos);

  server->setDenyAuthorization(true);
  auto denied = Url::parse(authorize(goodQuery()).header("Location").value_or(""));
  ASSERT_TRUE(denied);
  EXPECT_EQ(denied->firstQueryValue("error"), "access_denied");
  EXPECT_EQ(denied->firstQueryValue("state"), "s+t/a te");
  EXPECT_FALSE(denied->firstQueryValue("code"));
}

TEST_F(OAuthTest, CodeExchangeVerifiesPkceAndIsSingleUse) {
  std::string first = code(goodQuery());
  EXPECT_EQ(failure([&] { exchange(first, "wrong-verifier-wrong-verifier-wrong-verifier"); }),
            kSignInExpired);
  // The failed attempt used the code up.
  EXPECT_EQ(failure([&] { exchange(first, kVerifier); }), kSignInExpired);
  EXPECT_EQ(failure([&] { exchange(code(goodQuery()), kVerifier, "trellisant://elsewhere"); }),
            kSignInExpired);

  std::string second = code(goodQuery());
  API::Token token = exchange(second, kVerifier);
  EXPECT_TRUE(token.refreshToken);
  EXPECT_DOUBLE_EQ(token.expiresIn, 3600);
  EXPECT_EQ(failure([&] { exchange(second, kVerifier); }), kSignInExpired);

  // The new access token is accepted by the native API (enrollment needs no device yet).
  Credentials credentials;
  credentials.server = server->baseUrl();
  credentials.accessToken = token.accessToken;
  credentials.refreshToken = *token.refreshToken;
  credentials.clientId = "trellisant-native";
  credentials.expiresAt = SystemClock::now() + 1h;
  Vault::save(credentials);
  API api(server->baseUrl());
  auto enrollment = Resources::enroll(api, "Mac", "0.1.2");
  EXPECT_FALSE(enrollment.id.empty());
  EXPECT_FALSE(enrollment.key.empty());
}

TEST_F(OAuthTest, RefreshTokensOnlyForOfflineAccessWhenGranted) {
  auto query = goodQuery();
  query["scope"] = "openid profile";
  EXPECT_FALSE(exchange(code(query), kVerifier).refreshToken);
  server->setGrantRefreshToken(false);
  EXPECT_FALSE(exchange(code(goodQuery()), kVerifier).refreshToken);
}

TEST_F(OAuthTest, RefreshRotatesTokens) {
  Credentials credentials = server->issueCredentials(1h, true);
  EXPECT_EQ(failure([&] { refresh(credentials.refreshToken, "someone-else"); }), kSignInExpired);
  API::Token second = refresh(credentials.refreshToken);
  ASSERT_TRUE(second.refreshToken);
  EXPECT_NE(*second.refreshToken, credentials.refreshToken);
  EXPECT_NE(second.accessToken, credentials.accessToken);
  // The old refresh token is spent; the new one works once.
  EXPECT_EQ(failure([&] { refresh(credentials.refreshToken); }), kSignInExpired);
  API::Token third = refresh(*second.refreshToken);
  EXPECT_EQ(failure([&] { refresh(*second.refreshToken); }), kSignInExpired);

  // The renewed access token still belongs to the enrolled device.
  credentials.accessToken = third.accessToken;
  credentials.refreshToken = *third.refreshToken;
  Vault::save(credentials);
  API api(server->baseUrl());
  EXPECT_NO_THROW(api.request("deliveries", "GET", std::nullopt));
  credentials.deviceKey = "wrong";
  Vault::save(credentials);
  EXPECT_EQ(failure([&] { api.request("deliveries", "GET", std::nullopt); }),
            "This computer could not be verified. Sign in again in Trellisant.");
}

TEST_F(OAuthTest, TokenEndpointWantsAFormAndAKnownGrant) {
  http::Request request;
  request.method = "POST";
  request.url = server->baseUrl() + "/api/auth/oauth2/token";
  request.headers = {{"Content-Type", "application/json"}};
  request.body = R"({"grant_type":"refresh_token"})";
  auto response = http::perform(request);
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(parseJson(response.body).at("error"), "invalid_request");

  request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
  request.body = "grant_type=password&client_id=trellisant-native";
  response = http::perform(request);
  EXPECT_EQ(response.status, 400);
  EXPECT_EQ(parseJson(response.body).at("error"), "unsupported_grant_type");
}

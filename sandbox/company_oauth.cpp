// Configuration discovery, the browser sign-in page and the OAuth token endpoint.

#include "api/pkce.h"
#include "api/resources.h"
#include "api/sign_in.h"
#include "company_impl.h"
#include "url.h"

namespace trellisant::sandbox {
namespace {

std::string htmlEscape(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

void answerPage(httplib::Response& response, int status, const std::string& paragraph) {
  response.status = status;
  response.set_content(
      "<!doctype html>\n<html><head><meta charset=\"utf-8\"><title>Trellisant "
      "sandbox</title></head>\n"
      "<body><h1>Trellisant sandbox</h1>\n" +
          paragraph + "\n</body></html>\n",
      "text/html; charset=utf-8");
}

bool isChallenge(std::string_view text) {
  if (text.size() != 43) return false;
  for (char c : text) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') return false;
  }
  return true;
}

std::optional<std::string> firstField(
    const std::vector<std::pair<std::string, std::string>>& fields, std::string_view name) {
  for (auto& [key, value] : fields) {
    if (key == name) return value;
  }
  return std::nullopt;
}

void oauthError(httplib::Response& response, int status, const std::string& error,
                const std::string& description) {
  answerJson(response, status, Json{{"error", error}, {"error_description", description}});
}

}  // namespace

void CompanyServer::Impl::nativeConfig(const httplib::Request&, httplib::Response& response) {
  std::string base = baseUrl();
  answerJson(response, 200,
             Json{{"clientId", options.clientId},
                  {"authorizationEndpoint", base + std::string(kAuthorizePath)},
                  {"tokenEndpoint", base + std::string(Resources::Path::token)}});
}

void CompanyServer::Impl::authorize(const httplib::Request& request, httplib::Response& response) {
  auto param = [&](const char* name) {
    return request.has_param(name) ? request.get_param_value(name) : std::string();
  };
  std::string problem;
  if (param(OAuthField::clientId) != options.clientId)
    problem = "This app is not known to the sandbox.";
  else if (param(OAuthField::redirectUri) != kRedirectURI)
    problem = "The return address is not allowed.";
  else if (param(OAuthField::responseType) != "code")
    problem = "Only the authorization code flow is offered.";
  else if (param(OAuthField::codeChallengeMethod) != "S256")
    problem = "The sign in must use PKCE with S256.";
  else if (!isChallenge(param(OAuthField::codeChallenge)))
    problem = "The PKCE challenge is missing or malformed.";
  else if (param(OAuthField::state).empty())
    problem = "The sign in request has no state.";
  if (!problem.empty()) {
    answerPage(response, 400, "<p>" + htmlEscape(problem) + "</p>");
    return;
  }

  std::string state = percentEncode(param(OAuthField::state));
  std::string location;
  {
    std::lock_guard lock(mutex);
    if (denyAuthorization) {
      location = std::string(kRedirectURI) + "?error=access_denied&state=" + state;
    } else {
      std::string code = randomURLSafe();
      codes[code] =
          AuthorizationCode{param(OAuthField::clientId), param(OAuthField::redirectUri),
                            param(OAuthField::codeChallenge), param("scope"),
                            SystemClock::now() + std::chrono::minutes(10)};
      location = std::string(kRedirectURI) + "?code=" + percentEncode(code) + "&state=" + state;
    }
  }
  response.set_header("Location", location);
  // The page repeats the address for tools that do not follow the redirect themselves.
  answerPage(response, 302,
             "<p>Continue in Trellisant:</p>\n<p><a id=\"callback\" href=\"" +
                 htmlEscape(location) + "\">" + htmlEscape(location) + "</a></p>");
}

void CompanyServer::Impl::token(const httplib::Request& request, httplib::Response& response) {
  if (request.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) != 0) {
    oauthError(response, 400, "invalid_request", "The request must be form-encoded.");
    return;
  }
  auto fields = parseForm(request.body);
  auto field = [&](std::string_view name) { return firstField(fields, name).value_or(""); };
  std::string grant = field(OAuthField::grantType);
  std::string clientId = field(OAuthField::clientId);
  if (clientId != options.clientId) {
    oauthError(response, 401, "invalid_client", "This app is not known to the sandbox.");
    return;
  }

  TokenAnswer tokens;
  std::string scope;
  {
    std::lock_guard lock(mutex);
    if (grant == OAuthField::authorizationCodeGrant) {
      auto it = codes.find(field(OAuthField::code));
      if (it == codes.end()) {
        oauthError(response, 400, "invalid_grant",
                   "The authorization code is unknown or was used.");
        return;
      }
      AuthorizationCode code = it->second;
      codes.erase(it);  // single use, whatever the outcome
      if (code.expiresAt <= SystemClock::now() || code.clientId != clientId ||
          code.redirectUri != field(OAuthField::redirectUri) ||
          pkceChallenge(field(OAuthField::codeVerifier)) != code.challenge) {
        oauthError(response, 400, "invalid_grant",
                   "The authorization code does not match this request.");
        return;
      }
      scope = code.scope;
      bool offline = (" " + scope + " ").find(" offline_access ") != std::string::npos;
      tokens = issueTokens(newSession(clientId), grantRefreshToken && offline);
    } else if (grant == OAuthField::refreshTokenGrant) {
      auto it = refreshTokens.find(field(OAuthField::refreshToken));
      if (it == refreshTokens.end() || sessions[it->second].clientId != clientId) {
        oauthError(response, 400, "invalid_grant",
                   "The refresh token is unknown or was already used.");
        return;
      }
      std::string session = it->second;
      // Rotation: a new refresh token replaces the old one. Without a new one the old one stays.
      if (grantRefreshToken) refreshTokens.erase(it);
      tokens = issueTokens(session, grantRefreshToken);
    } else {
      oauthError(response, 400, "unsupported_grant_type", "This grant type is not offered.");
      return;
    }
  }
  Json body{{"access_token", tokens.accessToken},
            {"token_type", "Bearer"},
            {"expires_in", tokens.lifetime.count()}};
  if (tokens.refreshToken) body["refresh_token"] = *tokens.refreshToken;
  if (!scope.empty()) body["scope"] = scope;
  answerJson(response, 200, body);
}

}  // namespace trellisant::sandbox

#pragma once

// A company server on loopback, reached as trellisant.test over real TLS through the HTTP
// layer's test-only overrides, with a private home folder for credentials and preferences.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "api/http_testing.h"
#include "company_server.h"
#include "settings/vault.h"
#include "test_support.h"

namespace trellisant::testing {

// A started company server, reached as trellisant.test through the HTTP layer's test overrides.
inline std::unique_ptr<sandbox::CompanyServer> startCompany(const std::filesystem::path& tls,
                                                           sandbox::CompanyServer::Options options = {}) {
  options.tlsFolder = tls;
  auto server = std::make_unique<sandbox::CompanyServer>(options);
  server->start();
  http::testing::setOverrides({{"trellisant.test:" + std::to_string(server->port()) + ":127.0.0.1"}, (tls / "ca.pem").string()});
  return server;
}

class CompanyTest : public ::testing::Test {
 protected:
  using Options = sandbox::CompanyServer::Options;

  void SetUp() override { server = startCompany(home.root() / "tls", options); }
  void TearDown() override {
    http::testing::clearOverrides();
    server.reset();
  }

  // Stores a sign-in the server accepts and returns it.
  Credentials signIn(std::chrono::seconds lifetime = std::chrono::hours(1), bool enrolled = true) {
    Credentials credentials = server->issueCredentials(lifetime, enrolled);
    Vault::save(credentials);
    return credentials;
  }

  // The recorded requests whose path (without query) is `path`.
  std::vector<sandbox::RecordedRequest> requestsTo(std::string_view path) const {
    std::vector<sandbox::RecordedRequest> out;
    std::ranges::copy_if(server->requests(), std::back_inserter(out), [&](auto& r) { return r.path() == path; });
    return out;
  }

  TempHome home;
  Options options;  // the server's settings, for fixtures to change
  std::unique_ptr<sandbox::CompanyServer> server;
};

inline constexpr std::string_view kTokenPath = "/api/auth/oauth2/token";

}  // namespace trellisant::testing

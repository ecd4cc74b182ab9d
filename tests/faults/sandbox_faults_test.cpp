// The sandbox's means of misbehaving that the fault suite drives, in-process: what a delivery
// announces instead of the truth, injected and delayed answers of the company server, revoked
// tokens, and the provider faults added for the suite.

#include <gtest/gtest.h>

#include "admin_client.h"
#include "admin_server.h"
#include "api/http.h"
#include "test_support.h"

namespace trellisant::sandbox {
namespace {

using trellisant::testing::TempDir;

class SandboxFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    CompanyServer::Options options;
    options.tls = false;
    company = std::make_unique<CompanyServer>(options);
    company->start();
    admin = std::make_unique<AdminServer>(*company, nullptr, 0);
    admin->start();
    client = std::make_unique<AdminClient>(admin->port());
    std::filesystem::create_directories(dir / "day" / "sub");
    trellisant::testing::writeText(dir / "day" / "A001.mov", "footage");
    trellisant::testing::writeText(dir / "day" / "sub" / "B.mov", "more");
  }

  http::Response get(const std::string& path, const std::string& token = "") {
    http::Request request;
    request.url = company->baseUrl() + path;
    if (!token.empty()) request.headers = {{"Authorization", "Bearer " + token}};
    return http::perform(request);
  }

  TempDir dir;
  std::unique_ptr<CompanyServer> company;
  std::unique_ptr<AdminServer> admin;
  std::unique_ptr<AdminClient> client;
};

TEST_F(SandboxFaults, DeliveriesAnnounceWhatTheyAreGiven) {
  Json announcements = {{"transferId", "../../.."},
                        {"totalBytes", "12abc"},
                        {"files",
                         {{"sub/B.mov", {{"id", "../x"}, {"relativePath", "/etc/B.mov"}, {"size", "-5"},
                                         {"checksum", "00"}, {"checksumKind", "md5"}, {"fingerprint", "v2"}}}}}};
  Json sent = client->send(dir / "day", DeliveryDescription{}, announcements);
  auto delivery = company->store()->find(sent.at("id"));
  ASSERT_TRUE(delivery);
  EXPECT_EQ(delivery->transferId, "../../..");
  EXPECT_EQ(delivery->totalBytes(), "12abc");
  auto file = company->store()->findFile(delivery->id, "../x");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->relativePath, "/etc/B.mov");
  EXPECT_EQ(file->sizeText, "-5");
  EXPECT_EQ(file->checksum, "00");
  EXPECT_EQ(file->checksumKind, "md5");
  EXPECT_EQ(file->fingerprint, "v2");
  EXPECT_EQ(file->size, 4);  // the bytes served stay the folder's
  EXPECT_EQ(sent.at("files")[1].at("relativePath"), "/etc/B.mov");
  EXPECT_EQ(sent.at("files")[1].at("fingerprint"), "v2");
  // The other file keeps what it is.
  ASSERT_TRUE(company->store()->findFile(delivery->id, sent.at("files")[0].at("id")));
  EXPECT_EQ(sent.at("files")[0].at("relativePath"), "A001.mov");

  // Refusals change nothing.
  auto before = company->store()->all().size();
  EXPECT_THROW(client->send(dir / "day", {}, {{"files", {{"missing.mov", {{"id", "x"}}}}}}), PlatformError);
  EXPECT_THROW(client->send(dir / "day", {}, {{"files", {{"A001.mov", {{"id", 7}}}}}}), PlatformError);
  EXPECT_THROW(client->send(dir / "day", {}, {{"files", "all"}}), PlatformError);
  EXPECT_EQ(company->store()->all().size(), before);
}

TEST_F(SandboxFaults, InjectionsDelaysAndRevocation) {
  client->inject({{"method", "GET"}, {"path", "/api/v1/native/deliveries"}, {"status", 200},
                  {"body", "{\"deliveries\": ["}, {"times", 1}});
  auto injected = get("/api/v1/native/deliveries");
  EXPECT_EQ(injected.status, 200);
  EXPECT_EQ(injected.body, "{\"deliveries\": [");
  EXPECT_EQ(get("/api/v1/native/deliveries").status, 401);  // used up: the real answer

  client->inject({{"method", "GET"}, {"path", "/api/v1/native/events"}, {"delayMs", 300}, {"times", 1}});
  auto started = std::chrono::steady_clock::now();
  get("/api/v1/native/events");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));

  client->inject({{"method", "GET"}, {"path", "/api/v1/native/"}, {"status", 503}});
  EXPECT_EQ(get("/api/v1/native/deliveries").status, 503);
  EXPECT_EQ(get("/api/v1/native/deliveries").status, 503);
  client->clearInjections();
  EXPECT_EQ(get("/api/v1/native/deliveries").status, 401);
  EXPECT_THROW(client->inject({{"method", "GET"}, {"path", "/x"}}), PlatformError);  // no status or delay
  EXPECT_THROW(client->inject({{"path", "/x"}, {"status", 500}}), PlatformError);

  auto credentials = company->issueCredentials(std::chrono::minutes(5), false);
  EXPECT_NE(get("/api/v1/native/deliveries", credentials.accessToken).status, 401);
  client->revokeTokens();
  auto revoked = get("/api/v1/native/deliveries", credentials.accessToken);
  EXPECT_EQ(revoked.status, 401);
  EXPECT_NE(revoked.body.find("no longer valid"), std::string::npos) << revoked.body;
}

TEST(SandboxFaultKinds, FromJson) {
  using Kind = ProviderServer::Fault::Kind;
  auto slow = faultFromJson({{"kind", "slow-loris"}});
  EXPECT_EQ(slow.kind, Kind::SlowLoris);
  EXPECT_EQ(slow.bytes, 2000);
  EXPECT_EQ(faultFromJson({{"kind", "slow-loris"}, {"bytes", 500}}).bytes, 500);
  EXPECT_EQ(faultFromJson({{"kind", "extra-byte"}, {"bytes", 4096}}).bytes, 4096);
}

}  // namespace
}  // namespace trellisant::sandbox

// The sandbox's own driving parts, in-process: delivery folders with their description
// file, the admin endpoint and the summary the world tests rely on.

#include <gtest/gtest.h>

#include "admin_client.h"
#include "admin_server.h"
#include "api/http.h"
#include "delivery_folders.h"
#include "summary.h"
#include "test_support.h"

namespace trellisant::sandbox {
namespace {

using trellisant::testing::TempDir;

void writeText(const std::filesystem::path& path, const std::string& text) {
  std::filesystem::create_directories(path.parent_path());
  trellisant::testing::writeText(path, text);
}

TEST(DeliveryFolders, DescriptionFileNamesTheDeliveryAndIsNotOffered) {
  TempDir dir;
  writeText(dir / "b-day/clip.mov", "bbbb");
  writeText(dir / "b-day/.delivery.json", R"({"company": "Northwind", "project": "Field", "name": "Day 2"})");
  writeText(dir / "a-day/Sound/take.wav", "aa");
  writeText(dir / "loose-file.txt", "not a delivery");

  auto deliveries = deliveriesBelow(dir.path());
  ASSERT_EQ(deliveries.size(), 2u);
  EXPECT_EQ(deliveries[0].name, "a-day");
  EXPECT_EQ(deliveries[0].companyName, "Sandbox Company");
  EXPECT_EQ(deliveries[0].projectName, "Sandbox Project");
  ASSERT_EQ(deliveries[0].files.size(), 1u);
  EXPECT_EQ(deliveries[0].files[0].relativePath, "Sound/take.wav");

  EXPECT_EQ(deliveries[1].name, "Day 2");
  EXPECT_EQ(deliveries[1].companyName, "Northwind");
  EXPECT_EQ(deliveries[1].projectName, "Field");
  ASSERT_EQ(deliveries[1].files.size(), 1u);
  EXPECT_EQ(deliveries[1].files[0].relativePath, "clip.mov");
  EXPECT_EQ(deliveries[1].totalBytes(), "4");

  // Given fields win over the file.
  auto given = describedDelivery(dir / "b-day", DeliveryDescription{"fixed-id", "", "Other", ""});
  EXPECT_EQ(given.id, "fixed-id");
  EXPECT_EQ(given.companyName, "Northwind");
  EXPECT_EQ(given.projectName, "Other");

  writeText(dir / "b-day/.delivery.json", R"({"company": 7})");
  EXPECT_THROW(describedDelivery(dir / "b-day"), PlatformError);
  writeText(dir / "b-day/.delivery.json", "not json");
  EXPECT_THROW(describedDelivery(dir / "b-day"), PlatformError);
  EXPECT_THROW(describedDelivery(dir / "missing"), PlatformError);
}

TEST(AdminEndpoint, SendsDeliveriesSignalsTheStreamAndSummarizes) {
  CompanyServer::Options options;
  options.tls = false;
  CompanyServer company(options);
  company.start();
  AdminServer admin(company, nullptr, 0);
  admin.start();
  AdminClient client(admin.port());

  TempDir dir;
  writeText(dir / "day/A001.mov", "footage");
  auto eventsBefore = company.lastEventId();
  Json sent = client.send(dir / "day", DeliveryDescription{"", "Acme", "Feature", "Day 1"});
  EXPECT_EQ(sent.at("name"), "Day 1");
  EXPECT_EQ(sent.at("companyName"), "Acme");
  ASSERT_EQ(sent.at("files").size(), 1u);
  EXPECT_GT(company.lastEventId(), eventsBefore);
  ASSERT_TRUE(company.store()->find(sent.at("id")));

  // Refusals carry the endpoint's reason.
  try {
    client.send(dir / "nowhere");
    ADD_FAILURE() << "a missing folder was accepted";
  } catch (const PlatformError& error) {
    EXPECT_NE(std::string(error.what()).find("nowhere"), std::string::npos) << error.what();
  }
  EXPECT_THROW(client.fault({{"kind", "close-after"}, {"bytes", 10}}), PlatformError);  // no provider

  // What a client sends shows up in the summary, in order and with the bodies as sent.
  auto credentials = company.issueCredentials(std::chrono::minutes(5), true);
  auto post = [&](const std::string& path, const Json& body) {
    http::Request request;
    request.method = "POST";
    request.url = company.baseUrl() + "/api/v1/native/" + path;
    request.headers = {{"Authorization", "Bearer " + credentials.accessToken},
                       {"X-Device-Key", *credentials.deviceKey},
                       {"Content-Type", "application/json"}};
    request.body = body.dump();
    return http::perform(request).status;
  };
  const std::string id = sent.at("id"), fileId = sent["files"][0]["id"];
  EXPECT_EQ(post("heartbeat", {{"readiness", "ready"}, {"destinationLabel", "Footage"}}), 200);
  EXPECT_EQ(post("deliveries/" + id + "/lease", Json::object()), 200);
  EXPECT_EQ(post("deliveries/" + id + "/progress", {{"state", "downloading"}, {"bytesDone", "3"}}), 200);
  EXPECT_EQ(post("deliveries/" + id + "/file-complete", {{"fileId", fileId}, {"sha256", std::string(64, 'a')}}), 422);

  Json summary = client.summary();
  EXPECT_EQ(summary["counts"]["heartbeats"], 1);
  EXPECT_EQ(summary["heartbeats"][0]["readiness"], "ready");
  EXPECT_EQ(summary["leases"][0]["deliveryId"], id);
  EXPECT_EQ(summary["progress"][0]["bytesDone"], "3");
  EXPECT_EQ(summary["fileCompletions"][0]["fileId"], fileId);
  EXPECT_EQ(summary["fileCompletions"][0]["matches"], false);
  EXPECT_LT(summary["heartbeats"][0]["seq"], summary["leases"][0]["seq"]);
  EXPECT_LT(summary["leases"][0]["seq"], summary["progress"][0]["seq"]);
  EXPECT_EQ(summary["deliveries"][0]["completedFiles"].size(), 0u);
  std::string text = summaryText(summary);
  EXPECT_NE(text.find("heartbeats: 1 (last: ready)"), std::string::npos) << text;
  EXPECT_NE(text.find("file completions: 1 (0 with the original's SHA-256)"), std::string::npos) << text;

  admin.stop();
  company.stop();
}

TEST(AdminEndpoint, FaultsFromJson) {
  using Kind = ProviderServer::Fault::Kind;
  EXPECT_EQ(faultFromJson({{"kind", "whole-file"}}).kind, Kind::WholeFile);
  auto close = faultFromJson({{"kind", "close-after"}, {"bytes", 1000}});
  EXPECT_EQ(close.kind, Kind::CloseAfter);
  EXPECT_EQ(close.bytes, 1000);
  EXPECT_EQ(faultFromJson({{"kind", "server-error"}, {"status", 502}}).status, 502);
  EXPECT_THROW(faultFromJson({{"kind", "close-after"}}), PlatformError);  // needs bytes
  EXPECT_THROW(faultFromJson({{"kind", "redirect"}}), PlatformError);     // needs a location
  EXPECT_THROW(faultFromJson({{"kind", "sometimes"}}), PlatformError);
  EXPECT_THROW(faultFromJson({{"kind", "trickle"}, {"bytes", "fast"}}), PlatformError);
}

}  // namespace
}  // namespace trellisant::sandbox

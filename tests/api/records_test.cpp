#include "api/records.h"

#include <gtest/gtest.h>

#include "api/api.h"

using namespace trellisant;

TEST(Records, DeliveryAcceptsSnakeCaseAndRejectsWrongTypes) {
  Json snake = parseJson(R"({"id":"d1","transfer_id":"t","name":"Cut","project_name":"Promo",
    "company_name":"Acme","total_bytes":"100","file_count":2,"state":"ready","extra":[1]})");
  Delivery delivery = Delivery::fromJson(snake);
  EXPECT_EQ(delivery.transferId, "t");
  EXPECT_EQ(delivery.fileCount, 2);
  EXPECT_EQ(Delivery::fromJson(delivery.toJson()), delivery);
  EXPECT_EQ(
      delivery.toJson().dump(),
      R"({"companyName":"Acme","fileCount":2,"id":"d1","name":"Cut","projectName":"Promo","state":"ready","totalBytes":"100","transferId":"t"})");

  Json numeric = snake;
  numeric["total_bytes"] = 100;
  EXPECT_THROW(Delivery::fromJson(numeric), DecodingError);
  Json missing = snake;
  missing.erase("state");
  EXPECT_THROW(Delivery::fromJson(missing), DecodingError);
  Json textCount = snake;
  textCount["file_count"] = "2";
  EXPECT_THROW(Delivery::fromJson(textCount), DecodingError);
  EXPECT_THROW(Delivery::fromJson(Json::array()), DecodingError);
}

TEST(Records, ManifestFileOptionalChecksum) {
  ManifestFile file = ManifestFile::fromJson(
      parseJson(R"({"id":"f","relative_path":"a/b.mov","size":"3","fingerprint":"v"})"));
  EXPECT_FALSE(file.checksum);
  EXPECT_FALSE(file.checksumKind);
  EXPECT_EQ(file.toJson().dump(),
            R"({"fingerprint":"v","id":"f","relativePath":"a/b.mov","size":"3"})");
  file = ManifestFile::fromJson(parseJson(
      R"({"id":"f","relativePath":"a","size":"3","fingerprint":"v","checksum":"ab","checksumKind":"md5"})"));
  EXPECT_EQ(file.checksumKind, "md5");
  EXPECT_EQ(ManifestFile::fromJson(file.toJson()), file);
  EXPECT_THROW(ManifestFile::fromJson(
                   parseJson(R"({"id":"f","relativePath":"a","size":3,"fingerprint":"v"})")),
               DecodingError);
  EXPECT_THROW(ManifestFile::fromJson(parseJson(
                   R"({"id":"f","relativePath":"a","size":"3","fingerprint":"v","checksum":1})")),
               DecodingError);
}

TEST(Records, CapabilityNeedsHeadersAndAUrl) {
  Capability capability = Capability::fromJson(parseJson(
      R"({"url":"https://storage.googleapis.com/b/o?x=1","headers":{},"size":"9","fingerprint":"v"})"));
  EXPECT_TRUE(capability.headers.empty());
  capability = Capability::fromJson(parseJson(
      R"({"url":"https://x.frame.io/f","headers":{"Authorization":"Bearer p","X-A":"1"},"size":"9","fingerprint":"v"})"));
  EXPECT_EQ(capability.headers, (http::Headers{{"Authorization", "Bearer p"}, {"X-A", "1"}}));
  EXPECT_EQ(Capability::fromJson(capability.toJson()), capability);

  EXPECT_THROW(
      Capability::fromJson(parseJson(R"({"url":"https://a/b","size":"9","fingerprint":"v"})")),
      DecodingError);
  EXPECT_THROW(Capability::fromJson(parseJson(
                   R"({"url":"https://a/b","headers":{"A":1},"size":"9","fingerprint":"v"})")),
               DecodingError);
  EXPECT_THROW(Capability::fromJson(
                   parseJson(R"({"url":"https://a/b","headers":[],"size":"9","fingerprint":"v"})")),
               DecodingError);
  EXPECT_THROW(Capability::fromJson(parseJson(
                   R"({"url":"https://exa mple/b","headers":{},"size":"9","fingerprint":"v"})")),
               DecodingError);
  EXPECT_THROW(Capability::fromJson(
                   parseJson(R"({"url":"https://a/b","headers":{},"size":9,"fingerprint":"v"})")),
               DecodingError);
}

// Headers go out to the provider as given: a line break would smuggle in headers of the
// server's choosing.
TEST(Records, CapabilityHeadersMustBeSendable) {
  auto withHeaders = [](const std::string& headers) {
    return Capability::fromJson(parseJson(R"({"url":"https://a.frame.io/b","headers":)" + headers +
                                          R"(,"size":"9","fingerprint":"v"})"));
  };
  EXPECT_EQ(withHeaders(R"({"X-Sig":"a b\tc=;/+"})").headers, (http::Headers{{"X-Sig", "a b\tc=;/+"}}));
  for (const char* bad : {R"({"X-A":"1\r\nX-Injected: yes"})", R"({"X-A":"1\nRange: bytes=0-"})",
                          R"({"X-A":"1\u0000"})", R"({"X-A\r\nHost":"x"})", R"({"X A":"1"})",
                          R"({"X:A":"1"})", R"({"":"1"})"}) {
    EXPECT_THROW(withHeaders(bad), DecodingError) << bad;
  }
}

TEST(Records, ResponseWrappers) {
  EXPECT_TRUE(API::OK::fromJson(parseJson(R"({"ok":true})")).ok);
  EXPECT_THROW(API::OK::fromJson(parseJson(R"({"ok":"yes"})")), DecodingError);
  EXPECT_THROW(API::OK::fromJson(Json(nullptr)), DecodingError);
  EXPECT_EQ(API::Lease::fromJson(parseJson(R"({"lease_until":"2030-01-01T00:00:00Z"})")).leaseUntil,
            "2030-01-01T00:00:00Z");
  EXPECT_THROW(API::Manifest::fromJson(parseJson(R"({"files":[]})")), DecodingError);
  EXPECT_EQ(API::Manifest::fromJson(parseJson(R"({"files":[],"total":0})")).total, 0);
  auto enrollment = API::Enrollment::fromJson(parseJson(R"({"id":"m","key":"k"})"));
  EXPECT_EQ(enrollment.key, "k");
  EXPECT_THROW(API::Token::fromJson(parseJson(R"({"access_token":"a"})")), DecodingError);
  EXPECT_THROW(API::Deliveries::fromJson(parseJson(R"({"deliveries":{}})")), DecodingError);
}

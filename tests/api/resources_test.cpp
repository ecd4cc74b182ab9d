#include <gtest/gtest.h>

#include "api/resources.h"
#include "company_fixture.h"
#include "text.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kIncomplete = "The file list is incomplete. Trellisant will retry.";

class ResourcesTest : public CompanyTest {
 protected:
  Options options() override {
    Options options = CompanyTest::options();
    options.manifestPageSize = 2;
    options.providerBase = "https://storage.googleapis.com:9443";
    return options;
  }

  // A delivery of `count` small files, offered by the server.
  sandbox::SandboxDelivery offer(int count) {
    auto folder = home.root() / ("delivery-" + std::to_string(count));
    std::filesystem::create_directories(folder / "Day 1");
    for (int i = 0; i < count; ++i)
      writeText(folder / "Day 1" / ("clip" + std::to_string(i) + ".mov"), std::string(10 + i, 'x'));
    auto delivery = sandbox::deliveryFromFolder(folder, "delivery-" + std::to_string(count), "Acme",
                                                "Promo", "Cut");
    server->addDelivery(delivery);
    return delivery;
  }

  std::vector<std::string> manifestTargets() const {
    std::vector<std::string> out;
    for (auto& request : server->requests()) {
      if (request.target.find("/manifest") != std::string::npos) out.push_back(request.target);
    }
    return out;
  }

  std::string failureOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const std::exception& error) {
      return userMessage(error);
    }
    return "(no failure)";
  }
};

}  // namespace

TEST_F(ResourcesTest, DeliveryRoundTrip) {
  signIn();
  auto offered = offer(5);
  API api(server->baseUrl());

  auto list = Resources::deliveries(api).deliveries;
  ASSERT_EQ(list.size(), 1u);
  const Delivery& delivery = list[0];
  EXPECT_EQ(delivery.id, offered.id);
  EXPECT_EQ(delivery.companyName, "Acme");
  EXPECT_EQ(delivery.totalBytes, offered.totalBytes());
  EXPECT_EQ(delivery.fileCount, 5);
  EXPECT_FALSE(Resources::lease(api, delivery.id).leaseUntil.empty());
  EXPECT_EQ(server->requests().back().body, "{}");

  // Pages of 2, 2 and 1: offsets 0, 2 and 4, and no fourth request.
  auto files = api.files(delivery);
  EXPECT_EQ(manifestTargets(),
            (std::vector<std::string>{"/api/v1/native/deliveries/delivery-5/manifest?offset=0",
                                      "/api/v1/native/deliveries/delivery-5/manifest?offset=2",
                                      "/api/v1/native/deliveries/delivery-5/manifest?offset=4"}));
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(files[0].relativePath, "Day 1/clip0.mov");
  EXPECT_EQ(files[4].size, "14");
  EXPECT_EQ(files[4].checksum, offered.files[4].sha256);
  EXPECT_FALSE(files[4].checksumKind);

  auto capability = Resources::capability(api, delivery.id, files[1].id);
  EXPECT_EQ(capability.url, "https://storage.googleapis.com:9443/files/delivery-5/" + files[1].id);
  EXPECT_EQ(capability.headers,
            (http::Headers{
                {"X-Sandbox-Signature", sandbox::capabilitySignature(delivery.id, files[1].id)}}));
  EXPECT_EQ(capability.size, "11");
  EXPECT_EQ(capability.fingerprint, files[1].fingerprint);

  EXPECT_EQ(failureOf([&] {
              Resources::fileComplete(api, delivery.id, files[1].id, std::string(64, '0'));
            }),
            "The received file does not match the original. Trellisant will retry.");
  Resources::fileComplete(api, delivery.id, files[1].id, offered.files[1].sha256);
  EXPECT_EQ(server->completedFiles(delivery.id), std::vector<std::string>{files[1].id});

  Resources::downloading(api, delivery.id, 1234);
  EXPECT_EQ(server->requests().back().body, R"({"bytesDone":"1234","state":"downloading"})");
  // The sandbox answers the waiting report with JSON null, as the real server may.
  EXPECT_FALSE(Resources::waiting(api, delivery.id, 10, "Your download disk is full."));
  EXPECT_EQ(server->requests().back().body,
            R"({"bytesDone":"10","reason":"Your download disk is full.","state":"waiting"})");
}

TEST_F(ResourcesTest, ManifestPagingFailures) {
  signIn();
  offer(5);
  API api(server->baseUrl());
  Delivery delivery{"delivery-5", "t", "Cut", "Promo", "Acme", "60", 5, "ready"};

  // An empty page before fileCount is reached.
  server->inject("GET", "/api/v1/native/deliveries/delivery-5/manifest?offset=2", 200,
                 R"({"files":[],"total":5})", 1);
  EXPECT_EQ(failureOf([&] { api.files(delivery); }), kIncomplete);
  EXPECT_EQ(manifestTargets().size(), 2u);

  // A page that overshoots: fileCount 3 against pages of 2.
  server->clearRequests();
  delivery.fileCount = 3;
  EXPECT_EQ(failureOf([&] { api.files(delivery); }), kIncomplete);
  EXPECT_EQ(manifestTargets().size(), 2u);

  // A numeric size does not decode; the error reaches the caller unchanged.
  server->inject(
      "GET", "/api/v1/native/deliveries/delivery-5/manifest", 200,
      R"({"files":[{"id":"f","relativePath":"a","size":12,"fingerprint":"v"}],"total":1})", 1);
  EXPECT_THROW(api.files(delivery), DecodingError);

  // Errors of a page request pass through, partial lists are dropped.
  server->inject("GET", "/api/v1/native/deliveries/delivery-5/manifest?offset=2", 404,
                 R"({"error":"This delivery is no longer available."})", 1);
  delivery.fileCount = 5;
  EXPECT_EQ(failureOf([&] { api.files(delivery); }), "This delivery is no longer available.");
}

TEST_F(ResourcesTest, EmptyDeliveryMakesOneManifestRequest) {
  signIn();
  std::filesystem::create_directories(home.root() / "empty");
  server->addDelivery(
      sandbox::deliveryFromFolder(home.root() / "empty", "empty", "Acme", "Promo", "Nothing"));
  API api(server->baseUrl());
  auto delivery = api.request<API::Deliveries>("deliveries", "GET", std::nullopt).deliveries.at(0);
  EXPECT_EQ(delivery.fileCount, 0);
  EXPECT_EQ(delivery.totalBytes, "0");
  EXPECT_TRUE(api.files(delivery).empty());
  EXPECT_EQ(manifestTargets(),
            std::vector<std::string>{"/api/v1/native/deliveries/empty/manifest?offset=0"});
}

TEST_F(ResourcesTest, WaitingReasonIsCutToUserPerceivedCharacters) {
  signIn();
  offer(1);
  API api(server->baseUrl());
  // A family emoji is five scalars (four people joined by ZWJ) and one character.
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
  std::string reason;
  for (int i = 0; i < 300; ++i) reason += (i % 2 == 0) ? family : std::string("e\u0301");
  Resources::waiting(api, "delivery-1", 0, reason);

  std::string sent = parseJson(server->requests().back().body).at("reason").get<std::string>();
  auto characters = graphemes(sent);
  ASSERT_EQ(characters.size(), 240u);
  EXPECT_EQ(characters.front(), family);
  EXPECT_EQ(characters.back(), "e\u0301");
  EXPECT_EQ(sent, prefixCharacters(reason, 240));
}

TEST_F(ResourcesTest, EnrollmentAndRevocation) {
  Credentials unenrolled = signIn(1h, false);
  API api(server->baseUrl());
  EXPECT_EQ(failureOf([&] { api.request("deliveries", "GET", std::nullopt); }),
            "Enroll this computer before receiving footage.");
  auto enrollment = Resources::enroll(api, "Studio Mac", "0.1.2");
  EXPECT_FALSE(requestsTo("/api/v1/native/enroll").back().header("X-Device-Key"));
  EXPECT_EQ(requestsTo("/api/v1/native/enroll").back().body,
            R"({"name":"Studio Mac","version":"0.1.2"})");

  // Once enrolled, the key must come along.
  EXPECT_EQ(failureOf([&] { api.request("deliveries", "GET", std::nullopt); }),
            "This computer could not be verified. Sign in again in Trellisant.");
  Credentials enrolled = unenrolled;
  enrolled.deviceId = enrollment.id;
  enrolled.deviceKey = enrollment.key;
  Vault::save(enrolled);
  EXPECT_NO_THROW(api.request("deliveries", "GET", std::nullopt));

  EXPECT_TRUE(Resources::revoke(api).ok);
  EXPECT_EQ(failureOf([&] { api.request("deliveries", "GET", std::nullopt); }),
            "This computer was removed from your devices. Sign in again in Trellisant.");
  // The revoked sign-in cannot be renewed either.
  enrolled.expiresAt = SystemClock::now();
  Vault::save(enrolled);
  EXPECT_EQ(failureOf([&] { api.request("deliveries", "GET", std::nullopt); }),
            "Your device sign in has expired. Sign in again in Trellisant.");
}

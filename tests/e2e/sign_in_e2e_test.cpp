// trellisantctl sign-in against the sandbox's authorization page, as a user without a desktop
// does it: open the printed address elsewhere, paste the address the browser was sent to.

#include <gtest/gtest.h>

#include "api/api.h"
#include "fileio.h"
#include "settings/vault.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

// The callback address with its state replaced, as from another sign-in.
std::string withOtherState(const std::string& callback) {
  auto at = callback.find("state=");
  return callback.substr(0, at) + "state=someone-else";
}

std::int64_t seqOfFirst(const Json& log, const std::string& kind) {
  for (const auto& entry : log) {
    if (entry.at("kind") == kind) return entry.at("seq").get<std::int64_t>();
  }
  return -1;
}

TEST(World, SignIn) {
  World world;
  auto [command, address] = world.startSignIn();
  EXPECT_EQ(address.rfind(std::string(kServer) + "/oauth/authorize?", 0), 0u) << address;
  std::string callback = world.authorize(address);
  ASSERT_EQ(callback.rfind("trellisant://oauth/callback?code=", 0), 0u) << callback;

  // A callback of another sign-in is refused and the command keeps waiting.
  command.send(withOtherState(callback) + "\n");
  fs::path log = world.folder() / "logs";
  ASSERT_TRUE(waitUntil(
      [&] {
        for (const auto& entry : fs::directory_iterator(log)) {
          if (readFile(entry.path()).value_or("").find("That is not the address this sign in waits for") !=
              std::string::npos)
            return true;
        }
        return false;
      },
      10s));
  EXPECT_TRUE(command.running());

  command.send(callback + "\n");
  ASSERT_EQ(command.wait(30s), 0);

  auto credentials = Vault::read();
  ASSERT_TRUE(credentials);
  EXPECT_EQ(credentials->server, kServer);
  EXPECT_FALSE(credentials->accessToken.empty());
  EXPECT_FALSE(credentials->refreshToken.empty());
  ASSERT_TRUE(credentials->deviceId && !credentials->deviceId->empty());
  ASSERT_TRUE(credentials->deviceKey && !credentials->deviceKey->empty());

  Json summary = world.summary();
  ASSERT_EQ(summary.at("devices").size(), 1u);
  EXPECT_EQ(summary["devices"][0]["id"], *credentials->deviceId);
  EXPECT_EQ(summary["devices"][0]["revoked"], false);
  const Json& requests = summary.at("log");
  auto discovery = seqOfFirst(requests, "discovery"), token = seqOfFirst(requests, "token"),
       enroll = seqOfFirst(requests, "enroll");
  EXPECT_GT(discovery, 0);
  EXPECT_LT(discovery, token);
  EXPECT_LT(token, enroll);

  // The stored device key is the enrolled one: the server takes a device request with it.
  API api(kServer);
  EXPECT_NO_THROW(api.request<API::OK>("heartbeat", "POST",
                                       Json{{"readiness", "setup"}, {"destinationLabel", ""}}));
}

}  // namespace
}  // namespace trellisant::e2e

// trellisantctl sign-in against the sandbox's authorization page, as a user without a desktop
// does it: open the printed address elsewhere, paste the address the browser was sent to.

#include <gtest/gtest.h>


#include "api/resources.h"
#include "settings/vault.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

TEST(World, SignIn) {
  World world;
  const fs::path log = world.folder() / "logs" / "sign-in.log";
  auto [command, address] = world.startSignIn(log);
  EXPECT_EQ(address.rfind(std::string(kServer) + "/oauth/authorize?", 0), 0u) << address;
  std::string callback = testing::locationOf(address);
  ASSERT_EQ(callback.rfind("trellisant://oauth/callback?code=", 0), 0u) << callback;

  // (Pasted addresses of other sign-ins: CtlTest.SignsInWithAPastedCallbackEnablesTestsAndSignsOut.)
  std::fputs((callback + "\n").c_str(), command);
  ASSERT_EQ(::pclose(command), 0);

  auto credentials = Vault::read();
  ASSERT_TRUE(credentials && credentials->deviceId && credentials->deviceKey);
  EXPECT_EQ(credentials->server, kServer);
  Json summary = world.summary();
  ASSERT_EQ(summary.at("devices").size(), 1u);
  EXPECT_EQ(entriesWith(summary.at("devices"), "id", *credentials->deviceId).at(0).at("revoked"), false);
  auto first = [&](const char* kind) { return entriesWith(summary.at("log"), "kind", kind).at(0).at("seq"); };
  EXPECT_LT(first("discovery"), first("token"));
  EXPECT_LT(first("token"), first("enroll"));

  // The stored device key is the enrolled one: the server takes a device request with it.
  API api(kServer);
  EXPECT_NO_THROW(Resources::heartbeat(api, Readiness::setup, ""));
}

}  // namespace
}  // namespace trellisant::e2e

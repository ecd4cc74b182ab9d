// Receiving on a company network: every connection through the user's HTTPS proxy.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include "loopback_server.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

TEST(World, DeliveryThroughAnHttpsProxy) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  testing::ConnectProxy proxy;
  // The agent that enable starts inherits this environment, as it would the user's session.
  ::setenv("https_proxy", proxy.url().c_str(), 1);
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");
  world.ctlOk({"enable"});
  ::unsetenv("https_proxy");
  world.waitForState("ready", 30s);

  fs::path sources = world.makeSources("proxy", {{"A001.mov", 2 * MiB}, {"notes.txt", 30'000}});
  Json delivery = world.send(sources, "Proxy day");
  world.waitForState("completed", 60s);
  EXPECT_EQ(compareTrees(sources, World::destination(root, delivery)), 0);
  EXPECT_THAT(proxy.targets(), ::testing::IsSupersetOf({"trellisant.test:443", "storage.googleapis.com:443"}));
}

}  // namespace
}  // namespace trellisant::e2e

// Receiving on a company network: every connection through the user's HTTPS proxy.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "loopback_server.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

bool reached(const std::vector<std::string>& targets, const std::string& target) {
  return std::find(targets.begin(), targets.end(), target) != targets.end();
}

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
  fs::path received = world.destination(root, delivery);
  for (const auto& file : delivery.at("files")) {
    std::string path = file.at("relativePath");
    EXPECT_TRUE(sameBytes(sources / path, received / path)) << path;
  }
  auto targets = proxy.targets();
  EXPECT_TRUE(reached(targets, "trellisant.test:443"));
  EXPECT_TRUE(reached(targets, "storage.googleapis.com:443"));
}

}  // namespace
}  // namespace trellisant::e2e

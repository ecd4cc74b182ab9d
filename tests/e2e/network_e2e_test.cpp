// Receiving on a company network: every connection through the user's HTTPS proxy, whose
// address holds a password. Nothing the run emitted holds a secret it used.

#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include "loopback_server.h"
#include "log.h"
#include "settings/vault.h"
#include "store.h"
#include "world_driver.h"
#include "settings/paths.h"

namespace trellisant::e2e {
namespace {

TEST(World, DeliveryThroughAnHttpsProxyLeaksNoSecret) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  testing::ConnectProxy proxy;
  const std::string password = "pr0xy-s3cret";
  // The agent that enable starts inherits this environment, as it would the user's session.
  ::setenv("https_proxy", proxy.url().insert(7, "staff:" + password + "@").c_str(), 1);
  for (const char* name : {"no_proxy", "NO_PROXY"}) ::unsetenv(name);
  world.ctlOk({"enable"});
  ::unsetenv("https_proxy");
  world.waitForState("ready", 30s);

  fs::path sources = world.makeSources("proxy", {{"A001.mov", 2 * MiB}, {"notes.txt", 30'000}});
  Json delivery = world.send(sources, "Proxy day");
  const std::string id = delivery.at("id");
  // One failure, so that a reason goes to the server and into the log.
  world.admin().fault({{"kind", "server-error"}, {"times", 1}, {"fileId", World::fileId(delivery, "notes.txt")}});
  world.waitForState("completed", 60s);
  EXPECT_EQ(compareTrees(sources, World::destination(root, delivery)), 0);
  EXPECT_THAT(proxy.targets(), ::testing::IsSupersetOf({"trellisant.test:443", "storage.googleapis.com:443"}));

  // The sign-in, the capability addresses and their headers, the proxy's password.
  auto signIn = Vault::read().value();
  std::vector<std::string> secrets = {password, signIn.accessToken, signIn.refreshToken, signIn.deviceKey.value(), "/files/" + id};
  for (const auto& file : delivery.at("files")) secrets.push_back(sandbox::capabilitySignature(id, file.at("id")));
  Json summary = world.summary();
  Json waiting = entriesWith(forDelivery(summary.at("progress"), id), "state", "waiting").at(0);
  // The agent was started detached, so its lines are in its own log (the world has no journal).
  std::string log = testing::readText(Paths::logFile(world.agentProgram().filename().string()));
  EXPECT_NE(log.find(" failed: " + waiting.at("reason").get<std::string>()), std::string::npos) << log;
  std::string emitted = log + testing::readText(Paths::statusFile()) + summary.dump();
  for (const auto& secret : secrets) EXPECT_EQ(emitted.find(secret), std::string::npos) << secret;
}

}  // namespace
}  // namespace trellisant::e2e

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include "app_fakes.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

constexpr const char* kPassed =
    "Folder access and device connection checked. Provider downloads still require connected storage accounts.";

class ReadinessModelTest : public AppModelTest {
 protected:
  std::vector<std::string> entries(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    return names;
  }

  // Runs the test and waits until it is over; busy must have been set meanwhile.
  void runTest(app::AppModel& model) {
    model.testReadiness();
    EXPECT_TRUE(model.busy());
    ASSERT_TRUE(waitUntil([&] { return !model.busy(); }, 20s));
  }
};

// A loopback port with nobody listening.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

TEST_F(ReadinessModelTest, PassesWithTheAgentRegisteredAndLeavesNoProbe) {
  auto root = receiving();
  auto& model = makeModel();
  runTest(model);
  EXPECT_EQ(model.error(), "");
  EXPECT_EQ(model.status().state, "ready");
  EXPECT_EQ(model.status().message, kPassed);
  EXPECT_TRUE(entries(root).empty()) << "the probe file is gone";
}

TEST_F(ReadinessModelTest, EveryFailureClearsBusy) {
  // Not signed in.
  auto& signedOut = makeModel();
  runTest(signedOut);
  EXPECT_EQ(signedOut.error(), "Sign in to test your device.");

  // No folder.
  storeCredentials(true);
  auto& noFolder = makeModel();
  runTest(noFolder);
  EXPECT_FALSE(noFolder.error().isEmpty());

  // The agent's record is stale: its needs-attention message is the failure.
  auto root = folder("Footage");
  writePreferences([&](Preferences& p) {
    p.setDestination(root);
    p.receiving = true;
  });
  loginItem->setStatus(LoginItemStatus::enabled);
  agentAnswer = AgentStatus{"ready", "Ready.", "", 0, 0, now - 60s};
  auto& stale = makeModel();
  ASSERT_TRUE(waitUntil([&] { return stale.status().message == "Ready."; }));
  runTest(stale);
  EXPECT_EQ(stale.error(), "The receiving helper is not responding. Restart receiving.");
  EXPECT_TRUE(entries(root).empty());

  // Without the agent the server must answer a heartbeat; nobody listens on this port.
  loginItem->setStatus(LoginItemStatus::notRegistered);
  auto& offline = makeModel();
  offline.changePreferences(
      [](Preferences& p) { p.server = "http://127.0.0.1:" + std::to_string(closedPort()); });
  runTest(offline);
  EXPECT_FALSE(offline.error().isEmpty());
  EXPECT_NE(offline.status().state, "ready");
  EXPECT_TRUE(entries(root).empty());
}

}  // namespace

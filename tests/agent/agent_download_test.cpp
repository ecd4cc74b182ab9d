#include <chrono>
#include <thread>

#include "agent_fixture.h"
#include "settings/vault.h"

namespace trellisant::testing {
namespace {

using namespace std::chrono_literals;

// Runs one pass on its own thread; `during` runs once the first "downloading" status is out.
AgentStatus passInterruptedBy(Agent& agent, const std::function<void()>& during) {
  std::jthread pass([&] { agent.runPass({}); });
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (AgentStatus::load().state != "downloading" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(AgentStatus::load().state, "downloading");
  during();
  pass.join();
  return AgentStatus::load();
}

class AgentDownloadTest : public AgentTest {
 protected:
  void SetUp() override {
    signIn();
    configure(true);
    delivery_ = offer("slow", {4'000'000});
    // Slow enough that several ticks pass before the file is in.
    world().provider().inject(sandbox::ProviderServer::Fault::trickle(400'000));
  }
  sandbox::SandboxDelivery delivery_;
};

TEST_F(AgentDownloadTest, ProgressIsReportedWithStringByteCountsAndSigningOutStopsTheBatch) {
  auto agent = makeAgent();
  AgentStatus after = passInterruptedBy(*agent, [&] {
    std::this_thread::sleep_for(400ms);
    Vault::clear();
  });
  EXPECT_EQ(after.state, "needs_attention");
  EXPECT_EQ(after.message, "Sign in to Trellisant first.");
  EXPECT_EQ(after.transfer, "Delivery slow");
  EXPECT_EQ(agent->retryTable().at("slow").attempt, 1);

  auto reports = requests("POST", "/deliveries/slow/progress");
  ASSERT_FALSE(reports.empty());
  for (auto& report : reports) {
    Json body = Json::parse(report.body);
    ASSERT_TRUE(body["bytesDone"].is_string()) << report.body;
    std::string digits = body["bytesDone"];
    EXPECT_FALSE(digits.empty());
    EXPECT_EQ(digits.find_first_not_of("0123456789"), std::string::npos) << report.body;
    EXPECT_EQ(body["state"], "downloading");
  }
  EXPECT_FALSE(requests("POST", "/heartbeat").empty());

  agent->runPass({});
  EXPECT_EQ(AgentStatus::load().state, "setup");
}

TEST_F(AgentDownloadTest, PausingDuringADownloadEndsTheBatchAndTheNextPassShowsPaused) {
  auto agent = makeAgent();
  auto partial = folder_.path() / "Acme" / "Project" / "Tslow-tr Delivery slow" / "Reel" /
                 ".trellisant-slow-f0.partial";
  AgentStatus after = passInterruptedBy(*agent, [&] {
    // "downloading" is out as the delivery starts; pause once there are bytes to keep.
    auto deadline = std::chrono::steady_clock::now() + 20s;
    while (fileSize(partial) <= 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    Preferences preferences = Preferences::load();
    preferences.receiving = false;
    preferences.save(Preferences::file());
  });
  EXPECT_EQ(after.state, "needs_attention");
  // Whichever notices first: the ticker, or the downloader between two ranges.
  EXPECT_TRUE(after.message == "Receiving paused. Your downloaded footage is saved." ||
              after.message == "The operation was canceled.")
      << after.message;
  auto waiting = requests("POST", "/deliveries/slow/progress");
  ASSERT_FALSE(waiting.empty());
  EXPECT_EQ(Json::parse(waiting.back().body)["state"], "waiting");

  agent->runPass({});
  EXPECT_EQ(AgentStatus::load().state, "paused");
  EXPECT_EQ(AgentStatus::load().message, "Receiving is paused.");
  // The bytes already received stay in the partial file for the next attempt.
  EXPECT_GT(fileSize(partial), 0);
}

TEST_F(AgentDownloadTest, RejectedProgressReportsFailTheBatchAtItsFirstTick) {
  company().inject("POST", "/api/v1/native/deliveries/slow/progress", 503,
                   R"({"error":"Progress reports are unavailable."})");
  auto agent = makeAgent();
  agent->runPass({});
  EXPECT_TRUE(company().completedFiles("slow").empty()) << "the batch ended before the file was in";
  EXPECT_EQ(AgentStatus::load().state, "needs_attention");
  EXPECT_EQ(AgentStatus::load().message, "Progress reports are unavailable.");
}

TEST_F(AgentDownloadTest, StoppingTheAgentMidDownloadEndsThePassPromptlyWithoutAFailure) {
  auto agent = makeAgent();
  std::stop_source stop;
  std::jthread pass([&] { agent->runPass(stop.get_token()); });
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (AgentStatus::load().state != "downloading" && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(20ms);
  auto asked = std::chrono::steady_clock::now();
  stop.request_stop();
  pass.join();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
  EXPECT_EQ(AgentStatus::load().state, "downloading");
  EXPECT_TRUE(agent->retryTable().empty());
}

}  // namespace
}  // namespace trellisant::testing

#include "agent.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "control/agent_status.h"
#include "download/journal.h"
#include "sandbox_world.h"
#include "settings/app_configuration.h"
#include "settings/preferences.h"
#include "settings/vault.h"
#include "test_support.h"
#include "settings/paths.h"

namespace trellisant::testing {
namespace {

const std::string kLeased = "This delivery is leased by another device.";

struct SilentNotifier : Notifier { void post(const std::string&, const std::string&, const std::string&, std::function<void()>) override {} };

// An agent with short pauses and ticks, fake power, free space and clock, talking to the
// in-process sandbox under its real names.
class AgentTest : public ::testing::Test {
 protected:
  AgentTest() {
    company().clearRequests();
    company().clearInjections();
    SandboxWorld::shared().provider().clearFaults();
    Vault::save(company().issueCredentials(std::chrono::hours(1), true));
    configure(true);
  }
  ~AgentTest() override { for (auto& id : offered_) SandboxWorld::shared().store()->remove(id); }

  sandbox::CompanyServer& company() { return SandboxWorld::shared().company(); }
  // Preferences for the sandbox server; with `folder`, the download folder is chosen.
  Preferences configure(bool receiving, bool folder = true) {
    Preferences preferences;
    preferences.server = company().baseUrl();
    if (folder) preferences.setDestination(folder_.path());
    preferences.receiving = receiving;
    preferences.overnight = false;  // or the power lock would depend on the hour
    preferences.save(Paths::preferencesFile());
    return preferences;
  }
  // A delivery of files of these sizes at "Reel/<id>-clipN.mov", offered by the server.
  sandbox::SandboxDelivery offer(const std::string& id, const std::vector<std::int64_t>& sizes) {
    offered_.push_back(id);
    return SandboxWorld::shared().offer(id, sizes, 7);
  }
  std::unique_ptr<Agent> makeAgent(std::chrono::milliseconds quickWait = 20ms) {
    AgentParts parts{.power = std::make_shared<PowerPolicy>(power_, power_), .notifier = std::make_shared<SilentNotifier>(),
                     .freeSpace = [this](const fs::path&) { return std::optional<std::int64_t>(freeSpace_.load()); },
                     .makeAPI = [](const std::string& server) { return std::make_shared<API>(server, EventTiming{300ms}); },
                     .settings = {},
                     .jitter = [] { return 0.0; }, .now = [this] { return now_; },
                     .log = [this](std::string_view) { ++logLines_; }, .controlService = false};
    return std::make_unique<Agent>(parts, AgentTiming{.betweenPasses = 20ms, .tick = 150ms, .quickWait = quickWait});
  }
  AgentStatus status() const { return AgentStatus::load(); }
  // The bodies of the requests whose path ends with `suffix`.
  std::vector<Json> bodies(const std::string& method, const std::string& suffix) const {
    std::vector<Json> out;
    for (auto& request : SandboxWorld::shared().company().requests())
      if (request.method == method && request.path().ends_with(suffix))
        out.push_back(request.body.empty() ? Json() : Json::parse(request.body));
    return out;
  }

  TempHome home_;
  TempDir folder_;
  std::shared_ptr<FakePower> power_ = std::make_shared<FakePower>();
  Date now_ = SystemClock::now();
  std::vector<std::string> offered_;
  std::atomic<int> logLines_{0};
  std::atomic<std::int64_t> freeSpace_{1'000'000'000'000'000};
};

TEST_F(AgentTest, PassesThatCannotReceiveSayWhyAndSendOnlyTheHeartbeatsTheyShould) {
  Vault::clear();
  auto agent = makeAgent();
  // Runs a pass; checks the status and the heartbeats it sent.
  auto pass = [&](const std::string& state, const std::string& message, std::vector<std::string> beats) {
    company().clearRequests();
    agent->runPass({});
    EXPECT_EQ(status().stateWord() + ": " + status().message, state + ": " + message);
    std::vector<std::string> sent;
    for (auto& beat : bodies("POST", "/heartbeat")) sent.push_back(beat["readiness"]);
    EXPECT_EQ(sent, beats) << message;
  };
  configure(false, false);
  for (int i = 0; i < 2; ++i) pass("setup", "Sign in to Trellisant to receive footage.", {});
  Vault::save(company().issueCredentials(std::chrono::hours(1), true));
  pass("paused", "Receiving is paused.", {"paused"});
  Preferences preferences = configure(true, false);
  pass("needs_attention", "Choose a download folder in Trellisant.", {});
  fs::create_directory(folder_ / "gone");
  preferences.setDestination(folder_ / "gone");
  preferences.save(Paths::preferencesFile());
  fs::remove(folder_ / "gone");
  pass("needs_attention", "Choose your download folder again in Settings to renew access.", {});
  preferences = configure(true);
  power_->mains = false;
  pass("paused", "Connect power to receive footage.", {"paused"});
  EXPECT_EQ(power_->acquired, 0) << "never keeps the computer awake on battery";
  preferences.allowBattery = true;
  preferences.save(Paths::preferencesFile());
  company().signalEvent();
  agent->runPass({});
  EXPECT_EQ(status().stateWord(), "ready");
  EXPECT_EQ(logLines_, 6) << "the log says each change once";

  // A resumed 100 GB delivery with 40 GB in the journal needs 60 GB and the 10 GB reserve.
  auto big = offer("big", {1000});
  big.totalBytesText = "100000000000";
  company().addDelivery(big);
  Journal journal(Paths::journalFile());
  journal.record("big", {"earlier", "a.mov", "40000000000", "v1", std::nullopt, std::nullopt});
  journal.checkpoint("big", "earlier", 40'000'000'000, JournalState::partial, std::nullopt);
  const std::string noSpace = "Free up space on your download disk before this transfer starts.";
  for (std::int64_t less : {1, 0}) {
    freeSpace_ = 70'000'000'000 - less;
    now_ += std::chrono::minutes(10);  // past any back-off
    agent->runPass({});
    EXPECT_EQ(status().message, less ? noSpace : "Your footage is ready.");
  }
  EXPECT_EQ(bodies("POST", "/deliveries/big/progress").at(0), (Json{{"state", "waiting"}, {"bytesDone", "40000000000"}, {"reason", noSpace}}));
}

// Names made on some systems arrive decomposed ("e" + U+0301); the folders are made composed,
// and every later lookup must find them under the same names.
TEST_F(AgentTest, ADeliveryNamedInDecomposedFormCompletesInOnePass) {
  auto delivery = offer("nfd", {300'000, 200'000, 100'000});
  delivery.companyName = "Cafe\u0301 Films";
  delivery.projectName = "Ame\u0301lie";
  delivery.name = "Pre\u0301-mix";
  delivery.transferId = "Tcafe\u0301-transfer";
  const char* paths[] = {"Sce\u0300ne/cafe\u0301.mov", "Sce\u0300ne/Ta\u0302che/nai\u0308ve.wav", "re\u0301sume\u0301.txt"};
  const char* composed[] = {"Sc\u00e8ne/caf\u00e9.mov", "Sc\u00e8ne/T\u00e2che/na\u00efve.wav", "r\u00e9sum\u00e9.txt"};
  for (std::size_t i = 0; i < 3; ++i) delivery.files[i].relativePath = paths[i];
  company().addDelivery(delivery);
  makeAgent()->runPass({});
  EXPECT_EQ(status().stateWord(), "completed") << status().message;
  auto folder = folder_.path() / "Caf\u00e9 Films" / "Am\u00e9lie" / "Tcaf\u00e9-tr Pr\u00e9-mix";
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(sha256Of(folder / composed[i]), delivery.files[i].sha256);
  EXPECT_EQ(company().completedFiles("nfd").size(), 3u);
}

TEST_F(AgentTest, FailedDeliveriesBackOffWithGrowingCappedDelaysWhileOthersProceedAndStatusStaysFresh) {
  offer("stuck", {});
  company().inject("POST", "/api/v1/native/deliveries/stuck/lease", 409, Json{{"error", kLeased}}.dump());
  auto agent = makeAgent();
  std::vector<double> delays;
  for (int attempt = 1; attempt <= 7; ++attempt) {
    company().clearRequests();
    agent->runPass({});
    auto entry = agent->retryTable().at("stuck");
    EXPECT_EQ(entry.attempt, std::min(attempt, 6));
    delays.push_back(std::chrono::duration<double>(entry.next - now_).count());
    EXPECT_EQ(status().message, kLeased);

    // Within the back-off the delivery is skipped silently; the status record is renewed, and
    // the next delivery still comes in.
    AgentStatus failed = status();
    failed.updatedAt -= std::chrono::seconds(80);  // as old as a long wait
    failed.save();
    now_ = entry.next - std::chrono::seconds(1);
    agent->runPass({});
    AgentStatus renewed = status();
    EXPECT_GT(renewed.updatedAt, failed.updatedAt);
    renewed.updatedAt = failed.updatedAt;
    EXPECT_EQ(renewed, failed) << "only the time changes";
    offer("fine" + std::to_string(attempt), {1000});
    agent->runPass({});
    EXPECT_EQ(status().stateWord(), "completed");
    EXPECT_EQ(bodies("POST", "/deliveries/stuck/lease").size(), 1u);
    now_ = entry.next + std::chrono::seconds(1);
  }
  EXPECT_EQ(delays, (std::vector<double>{10, 20, 40, 80, 160, 300, 300}));

  // Hundreds of tiny files: a batch may end before a tick, so the delivery reports as it starts
  // and then from one ticker across its batches, which ticks while the first batch's lease is
  // held (the pass's own lease, before the ticker, is held too).
  offer("many", std::vector<std::int64_t>(200, 1000));
  company().delay("POST", "/api/v1/native/deliveries/many/lease", 600ms, 2);
  company().clearRequests();
  agent->runPass({});
  EXPECT_EQ(company().completedFiles("many").size(), 200u);
  std::vector<std::string> seen{""};  // leases and progress states up to the first capability
  for (auto& request : company().requests())
    for (std::string leaf : {"lease", "progress", "capability"})
      if (request.path().ends_with("/deliveries/many/" + leaf) && seen.back() != "capability")
        seen.push_back(leaf == "progress" ? Json::parse(request.body)["state"].get<std::string>() : leaf);
  EXPECT_EQ(seen.at(1) + ", " + seen.at(2), "lease, downloading");
  EXPECT_GE(std::ranges::count(seen, "downloading"), 2) << "no tick before the first file";
}

TEST_F(AgentTest, LongFailureTextsAreCutTo240CharactersForTheUserAndTheServer) {
  offer("long", {});
  std::string text, expected;  // 300 flags, 600 scalars; 240 of them
  for (int i = 0; i < 300; ++i) text += "\U0001F1EB\U0001F1F7", expected += i < 240 ? "\U0001F1EB\U0001F1F7" : "";
  company().inject("POST", "/api/v1/native/deliveries/long/lease", 500, Json{{"error", text}}.dump());
  makeAgent()->runPass({});
  EXPECT_EQ(status().message, expected);
  auto waiting = bodies("POST", "/deliveries/long/progress");
  EXPECT_TRUE(waiting.size() == 1 && waiting[0]["reason"] == expected);
}

TEST_F(AgentTest, AServerThatRefusesTheEventStreamIsNotAskedInATightLoop) {
  company().inject("GET", "/api/v1/native/events", 503, R"({"error":"Try later."})");
  auto agent = makeAgent(300ms);
  auto began = std::chrono::steady_clock::now();
  std::jthread loop([&](std::stop_token stop) { agent->main(stop); });
  ASSERT_TRUE(waitUntil([&] { return bodies("GET", "/events").size() >= 3; }, 10s, 10ms));
  // Each refused wait is followed by the short pause.
  EXPECT_GE(std::chrono::steady_clock::now() - began, 600ms);
  loop.request_stop();
  loop.join();
  EXPECT_EQ(status().stateWord(), "ready");
}

// Pausing ends a batch with its partial file kept (World.PauseAndEnable); progress reports carry
// string counts (World.MultiFileDelivery). Stopping the agent is no failure.
TEST_F(AgentTest, StoppingTheAgentMidDownloadEndsThePassPromptlyWithoutAFailure) {
  offer("slow", {4'000'000});
  SandboxWorld::shared().provider().inject(sandbox::ProviderServer::Fault::trickle(400'000));
  auto agent = makeAgent();
  std::jthread pass([&](std::stop_token stop) { agent->runPass(stop); });
  ASSERT_TRUE(waitUntil([&] { return fileSize(folder_ / "Acme/Project/Tslow-tr Delivery slow/Reel/.trellisant-slow-f0.partial") > 0; }, 20s, 20ms));
  auto asked = std::chrono::steady_clock::now();
  pass.request_stop();
  pass.join();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 3s);
  EXPECT_EQ(status().stateWord(), "downloading");
  EXPECT_TRUE(agent->retryTable().empty());
}

// The real program, started with a temporary home and no credentials.
TEST(AgentProgram, FirstPassWritesSetupAndSigtermEndsWithStatusZero) {
  TempHome home;
  auto log = home.root() / "agent.log";
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::dup2(::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
    ::execl(TRELLISANT_AGENT_BINARY, "trellisant-agent", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  EXPECT_TRUE(waitUntil([&] { return fs::exists(Paths::statusFile()); }, std::chrono::seconds(20)));
  EXPECT_EQ(AgentStatus::load().stateWord() + ": " + AgentStatus::load().message, "setup: Sign in to Trellisant to receive footage.");
  auto socket = home.root() / "runtime" / "com.trellisant.agent";
  EXPECT_TRUE(fs::exists(socket));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(fs::exists(socket)) << "the control socket is removed on exit";
  EXPECT_TRUE(readText(log).ends_with(": stopped (version " + std::string(AppConfiguration::version()) + ")\n")) << readText(log);
}

}  // namespace
}  // namespace trellisant::testing

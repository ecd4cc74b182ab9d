#include <fcntl.h>

#include <limits>
#include <thread>

#include "agent_fixture.h"
#include "unique_fd.h"
#include "settings/app_configuration.h"
#include "settings/vault.h"

namespace trellisant::testing {
namespace {

Json bodyOf(const sandbox::RecordedRequest& request) { return Json::parse(request.body); }

std::string sha256Of(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return "missing";
  return Downloader::hashes(fd.get()).first;
}

TEST_F(AgentTest, PassesThatCannotReceiveSayWhyAndSendOnlyTheHeartbeatsTheyShould) {
  auto agent = makeAgent();

  // Fresh install: no credentials at all.
  configure(false, false);
  agent->runPass({});
  EXPECT_EQ(status().state, "setup");
  EXPECT_EQ(status().message, "Sign in to Trellisant to receive footage.");
  EXPECT_TRUE(requests("POST", "/heartbeat").empty());

  // Credentials issued by another server count as not signed in.
  Credentials other = company().issueCredentials(std::chrono::hours(1), true);
  other.server = "https://elsewhere.test";
  Vault::save(other);
  agent->runPass({});
  EXPECT_EQ(status().state, "setup");
  EXPECT_TRUE(requests("POST", "/heartbeat").empty());

  // Signed in, receiving off, no folder: paused, with a paused heartbeat and an empty label.
  signIn();
  agent->runPass({});
  EXPECT_EQ(status().state, "paused");
  EXPECT_EQ(status().message, "Receiving is paused.");
  auto beats = requests("POST", "/heartbeat");
  ASSERT_EQ(beats.size(), 1u);
  EXPECT_EQ(bodyOf(beats[0]), (Json{{"readiness", "paused"}, {"destinationLabel", ""}}));

  // Receiving on without a folder, then with a folder that is gone: no heartbeat.
  company().clearRequests();
  Preferences preferences = configure(true, false);
  agent->runPass({});
  EXPECT_EQ(status().state, "needs_attention");
  EXPECT_EQ(status().message, "Choose a download folder in Trellisant.");
  {
    TempDir gone;
    preferences.setDestination(gone.path());
    preferences.save(Preferences::file());
  }
  agent->runPass({});
  EXPECT_EQ(status().message, "Choose your download folder again in Settings to renew access.");
  EXPECT_TRUE(requests("POST", "/heartbeat").empty());

  // On battery without permission: paused with a paused heartbeat; with permission, ready.
  configure(true);
  source_->mains = false;
  agent->runPass({});
  EXPECT_EQ(status().state, "paused");
  EXPECT_EQ(status().message, "Connect power to receive footage.");
  ASSERT_EQ(requests("POST", "/heartbeat").size(), 1u);
  EXPECT_EQ(bodyOf(requests("POST", "/heartbeat")[0])["readiness"], "paused");
  EXPECT_EQ(inhibitor_->acquired, 0) << "never keeps the computer awake on battery";

  preferences = Preferences::load();
  preferences.allowBattery = true;
  preferences.save(Preferences::file());
  company().signalEvent();
  agent->runPass({});
  EXPECT_EQ(status().state, "ready");

  // The log says each change once; the second "setup" pass repeats nothing.
  EXPECT_EQ(logLines(), (std::vector<std::string>{
                            "setup: Sign in to Trellisant to receive footage.",
                            "paused: Receiving is paused.",
                            "needs_attention: Choose a download folder in Trellisant.",
                            "needs_attention: Choose your download folder again in Settings to "
                            "renew access.",
                            "paused: Connect power to receive footage.",
                            "ready: Ready to receive your company’s footage."}));
}

TEST_F(AgentTest, ReadyMessageFollowsTheOvernightWindowAndTheCursorFollowsEvents) {
  signIn();
  Preferences preferences = configure(true);
  auto agent = makeAgent();
  int hour = static_cast<int>((std::chrono::duration_cast<std::chrono::hours>(
                                   SystemClock::now().time_since_epoch())
                                   .count()) %
                              24);
  preferences.timeZone = "UTC";
  preferences.overnight = true;
  preferences.startHour = hour;
  preferences.endHour = (hour + 2) % 24;
  preferences.save(Preferences::file());

  company().signalEvent();
  agent->runPass({});
  EXPECT_EQ(status().state, "ready");
  EXPECT_EQ(status().message, "Ready for overnight footage. Your display can sleep.");
  std::int64_t cursor = agent->eventCursor();
  EXPECT_GT(cursor, 0);
  EXPECT_EQ(inhibitor_->acquired, 1) << "the window is open on mains power";

  preferences.startHour = (hour + 2) % 24;
  preferences.endHour = (hour + 3) % 24;
  preferences.save(Preferences::file());
  company().signalEvent();
  agent->runPass({});
  EXPECT_EQ(status().message, "Ready to receive your company’s footage.");
  EXPECT_EQ(inhibitor_->released, 1);

  // The next wait resumes after the last event it saw.
  auto streams = requests("GET", "/events");
  ASSERT_EQ(streams.size(), 2u);
  EXPECT_EQ(streams[0].header("Last-Event-ID"), "0");
  EXPECT_EQ(streams[1].header("Last-Event-ID"), std::to_string(cursor));
  EXPECT_GT(agent->eventCursor(), cursor);
}

TEST_F(AgentTest, ThreeFilesArriveInTwoBatchesWithLeasesAndASharedBandwidth) {
  signIn();
  Preferences preferences = configure(true);
  preferences.bandwidthMbps = 800;
  preferences.save(Preferences::file());
  auto delivery = offer("three", {300'000, 200'000, 100'000});
  // Five-second ticks, so that no lease renewal of the ticker's comes among the batches' leases.
  auto agent = makeAgent(std::chrono::seconds(5));

  agent->runPass({});
  EXPECT_EQ(status().state, "completed");
  EXPECT_EQ(status().message, "Your footage is ready.");
  EXPECT_EQ(status().bytes, 600'000);
  EXPECT_EQ(status().total, 600'000);

  // A lease before the file list and before each of the two batches.
  std::vector<std::string> order;
  for (auto& request : company().requests()) {
    std::string path = request.path();
    if (path.ends_with("/lease")) order.push_back("lease");
    if (path.find("/manifest") != std::string::npos) order.push_back("manifest");
  }
  EXPECT_EQ(order, (std::vector<std::string>{"lease", "manifest", "lease", "lease"}));

  std::map<std::string, double> bandwidth(downloader_->calls.begin(), downloader_->calls.end());
  EXPECT_EQ(bandwidth["three-f0"], 400);
  EXPECT_EQ(bandwidth["three-f1"], 400);
  EXPECT_EQ(bandwidth["three-f2"], 800);

  for (auto& file : delivery.files) {
    auto received = folder_.path() / "Acme" / "Project" / "Tthree-t Delivery three" / file.relativePath;
    EXPECT_EQ(sha256Of(received), file.sha256) << file.relativePath;
  }
  ASSERT_EQ(notifier_->posts.size(), 1u);
  EXPECT_EQ(notifier_->posts[0], std::make_tuple(std::string("three"), std::string("Footage is ready"),
                                                 std::string("Delivery three")));
  EXPECT_TRUE(agent->retryTable().empty());
  auto lines = logLines();
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines.front(), R"(delivery three "Delivery three" started: 3 files, 600000 bytes)");
  EXPECT_EQ(lines[3], R"(file "Reel/three-clip2.mov" of delivery three "Delivery three" completed)");
  EXPECT_EQ(lines.back(), R"(delivery three "Delivery three" completed)");
  // No secrets: neither the tokens nor the device key nor a capability's address.
  Credentials credentials = *Vault::read();
  for (const auto& line : lines) {
    for (const std::string& secret : {credentials.accessToken, credentials.refreshToken,
                                      *credentials.deviceKey, std::string("://")})
      EXPECT_EQ(line.find(secret), std::string::npos) << line;
  }
  // Kept awake while downloading on mains power, released once the delivery is done.
  EXPECT_EQ(inhibitor_->acquired, 1);
  EXPECT_EQ(inhibitor_->released, 1);
}

// Names made on some systems arrive decomposed ("e" + U+0301); the folders are made composed,
// and every later lookup must find them under the same names.
TEST_F(AgentTest, ADeliveryNamedInDecomposedFormCompletesInOnePass) {
  signIn();
  configure(true);
  auto delivery = offer("nfd", {300'000, 200'000, 100'000});
  delivery.companyName = "Cafe\u0301 Films";
  delivery.projectName = "Ame\u0301lie";
  delivery.name = "Pre\u0301-mix";
  delivery.transferId = "Tcafe\u0301-transfer";
  const char* paths[] = {"Sce\u0300ne/cafe\u0301.mov", "Sce\u0300ne/Ta\u0302che/nai\u0308ve.wav",
                         "re\u0301sume\u0301.txt"};
  for (std::size_t i = 0; i < 3; ++i) delivery.files[i].relativePath = paths[i];
  company().addDelivery(delivery);
  auto agent = makeAgent();

  agent->runPass({});
  EXPECT_EQ(status().state, "completed") << status().message;
  EXPECT_TRUE(agent->retryTable().empty());
  auto folder = folder_.path() / "Caf\u00e9 Films" / "Am\u00e9lie" / "Tcaf\u00e9-tr Pr\u00e9-mix";
  const char* composed[] = {"Sc\u00e8ne/caf\u00e9.mov", "Sc\u00e8ne/T\u00e2che/na\u00efve.wav",
                            "r\u00e9sum\u00e9.txt"};
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_EQ(sha256Of(folder / composed[i]), delivery.files[i].sha256) << composed[i];
  EXPECT_EQ(company().completedFiles("nfd").size(), 3u);
  for (auto& report : requests("POST", "/deliveries/nfd/progress"))
    EXPECT_EQ(bodyOf(report)["state"], "downloading") << report.body;
}

TEST_F(AgentTest, FreeSpaceRuleCountsWhatTheJournalAlreadyHolds) {
  signIn();
  configure(true);
  auto big = offer("big", {1000});
  big.totalBytesText = "100000000000";
  company().addDelivery(big);
  {
    Journal journal(Journal::file());
    ManifestFile earlier{"earlier", "a.mov", "40000000000", "v1", std::nullopt, std::nullopt};
    journal.record("big", earlier);
    journal.checkpoint("big", "earlier", 40'000'000'000, JournalState::partial, std::nullopt);
  }
  auto agent = makeAgent();

  freeSpace_ = 70'000'000'000 - 1;  // 60 GB remaining + 10 GB reserve, less one byte
  agent->runPass({});
  EXPECT_EQ(status().state, "needs_attention");
  EXPECT_EQ(status().message, "Free up space on your download disk before this transfer starts.");
  auto waiting = requests("POST", "/deliveries/big/progress");
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(bodyOf(waiting[0]),
            (Json{{"state", "waiting"},
                  {"bytesDone", "40000000000"},
                  {"reason", "Free up space on your download disk before this transfer starts."}}));
  EXPECT_TRUE(requests("POST", "/deliveries/big/capability").empty());
  EXPECT_EQ(logLines().back(),
            "delivery big \"Delivery big\" failed: Free up space on your download disk before this "
            "transfer starts. (next attempt in 10 s)");

  now_ += std::chrono::minutes(10);
  company().clearRequests();
  freeSpace_ = 70'000'000'000;
  agent->runPass({});
  EXPECT_EQ(status().state, "completed");
  EXPECT_EQ(status().bytes, 100'000'000'000);
  EXPECT_EQ(status().total, 100'000'000'000);
  EXPECT_EQ(requests("POST", "/deliveries/big/lease").size(), 2u);
}

TEST_F(AgentTest, AnEmptyDeliveryCompletesAtOnceButStillNeedsTheReserve) {
  signIn();
  configure(true);
  auto agent = makeAgent();
  for (const char* id : {"empty", "second"}) {
    auto delivery = offer(id, {});
    delivery.totalBytesText = "12345";
    company().addDelivery(delivery);
  }
  // Exactly enough: what remains plus the 10 GB minimum reserve.
  freeSpace_ = 10'000'012'345;
  agent->runPass({});

  auto emptyLeases = requests("POST", "/deliveries/empty/lease");
  EXPECT_EQ(emptyLeases.size(), 1u) << "no batch, no batch lease";
  ASSERT_EQ(notifier_->posts.size(), 2u);
  EXPECT_EQ(notifier_->posts[0], std::make_tuple(std::string("empty"), std::string("Footage is ready"),
                                                 std::string("Delivery empty")));
  EXPECT_EQ(status().state, "completed");
  EXPECT_EQ(status().bytes, 12345);
  EXPECT_EQ(status().total, 12345);
  EXPECT_EQ(status().transfer, "Delivery second");
}

TEST_F(AgentTest, TheSpaceCheckNeedsTheReserveEvenWhenNothingRemainsAndNeverOverflows) {
  signIn();
  configure(true);
  auto delivery = offer("tight", {});
  delivery.totalBytesText = "12345";
  company().addDelivery(delivery);
  auto agent = makeAgent();
  freeSpace_ = 10'000'012'345 - 1;
  agent->runPass({});
  EXPECT_EQ(status().state, "needs_attention");
  EXPECT_EQ(status().message, "Free up space on your download disk before this transfer starts.");

  // A total near the largest 64-bit value fits on no disk, whatever the disk reports.
  delivery.totalBytesText = "9223372036854775000";
  company().addDelivery(delivery);
  freeSpace_ = std::numeric_limits<std::int64_t>::max();
  now_ += std::chrono::minutes(10);
  agent->runPass({});
  EXPECT_EQ(status().message, "Free up space on your download disk before this transfer starts.");
  EXPECT_TRUE(notifier_->posts.empty());
}

TEST_F(AgentTest, FailedDeliveriesBackOffWithGrowingCappedDelaysWhileOthersProceed) {
  signIn();
  configure(true);
  offer("stuck", {});
  company().inject("POST", "/api/v1/native/deliveries/stuck/lease", 409,
                   R"({"error":"This delivery is leased by another device."})");
  auto agent = makeAgent();

  std::vector<double> delays;
  for (int attempt = 1; attempt <= 7; ++attempt) {
    company().clearRequests();
    agent->runPass({});
    auto entry = agent->retryTable().at("stuck");
    EXPECT_EQ(entry.attempt, std::min(attempt, 6));
    EXPECT_EQ(status().message, "This delivery is leased by another device.");
    delays.push_back(std::chrono::duration<double>(entry.next - now_).count());
    EXPECT_EQ(requests("POST", "/deliveries/stuck/lease").size(), 1u);

    // Within the back-off the delivery is skipped silently; the next one still comes in.
    std::string next = "fine" + std::to_string(attempt);
    offer(next, {1000});
    company().clearRequests();
    now_ = entry.next - std::chrono::seconds(1);
    agent->runPass({});
    EXPECT_TRUE(requests("POST", "/deliveries/stuck/lease").empty());
    EXPECT_EQ(requests("POST", "/deliveries/" + next + "/lease").size(), 2u);
    EXPECT_EQ(status().state, "completed");
    now_ = entry.next + std::chrono::seconds(1);
  }
  EXPECT_EQ(delays, (std::vector<double>{10, 20, 40, 80, 160, 300, 300}));
}

TEST_F(AgentTest, TheStatusStaysFreshThroughBackOffsAndAcrossManySmallFiles) {
  signIn();
  configure(true);
  auto agent = makeAgent();

  // Two hundred tiny files: each batch ends long before a tick, yet the delivery says
  // "downloading" as it starts and then every tick across its batches.
  offer("many", std::vector<std::int64_t>(200, 1000));
  std::atomic<bool> done{false};
  std::jthread pass([&] {
    agent->runPass({});
    done = true;
  });
  bool sawDownloading = false;
  while (!done) {
    sawDownloading = sawDownloading || status().state == "downloading";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pass.join();
  EXPECT_TRUE(sawDownloading);
  EXPECT_EQ(status().state, "completed");
  std::vector<std::string> order;
  bool fetched = false;
  for (auto& request : company().requests()) {
    std::string path = request.path();
    if (path.ends_with("/deliveries/many/capability") && !fetched) order.push_back("capability");
    fetched = fetched || path.ends_with("/deliveries/many/capability");
    if (path.ends_with("/deliveries/many/progress")) order.push_back(bodyOf(request)["state"]);
  }
  ASSERT_GE(order.size(), 3u) << "no report after the start";
  EXPECT_EQ(order[0], "downloading") << "not reported as the delivery started";
  EXPECT_EQ(order[1], "capability");
  EXPECT_EQ(order[2], "downloading");

  // A delivery in back-off: the passes that only skip it still renew the record's time.
  offer("stuck", {});
  company().inject("POST", "/api/v1/native/deliveries/stuck/lease", 409,
                   R"({"error":"This delivery is leased by another device."})");
  for (int attempt = 1; attempt <= 4; ++attempt) {
    agent->runPass({});
    AgentStatus failed = status();
    ASSERT_EQ(failed.message, "This delivery is leased by another device.");
    AgentStatus aged = failed;
    aged.updatedAt -= std::chrono::seconds(80);  // as old as the longest wait so far
    aged.save();
    now_ = agent->retryTable().at("stuck").next - std::chrono::seconds(1);
    agent->runPass({});
    AgentStatus renewed = status();
    EXPECT_GT(renewed.updatedAt, failed.updatedAt) << "attempt " << attempt;
    renewed.updatedAt = failed.updatedAt;
    EXPECT_EQ(renewed, failed) << "only the time changes";
    now_ = agent->retryTable().at("stuck").next + std::chrono::seconds(1);
  }
}

TEST_F(AgentTest, LongFailureTextsAreCutTo240CharactersForTheUserAndTheServer) {
  signIn();
  configure(true);
  offer("long", {});
  std::string text;
  for (int i = 0; i < 300; ++i) text += "\U0001F1EB\U0001F1F7";  // 300 flags, 600 scalars
  company().inject("POST", "/api/v1/native/deliveries/long/lease", 500, Json{{"error", text}}.dump());
  auto agent = makeAgent();
  agent->runPass({});
  std::string expected;
  for (int i = 0; i < 240; ++i) expected += "\U0001F1EB\U0001F1F7";
  EXPECT_EQ(status().message, expected);
  auto waiting = requests("POST", "/deliveries/long/progress");
  ASSERT_EQ(waiting.size(), 1u);
  EXPECT_EQ(bodyOf(waiting[0])["reason"], expected);
}

TEST_F(AgentTest, AServerThatRefusesTheEventStreamIsNotAskedInATightLoop) {
  signIn();
  configure(true);
  company().inject("GET", "/api/v1/native/events", 503, R"({"error":"Try later."})");
  auto agent = makeAgent();  // quick-wait pause of 20 ms
  std::stop_source stop;
  std::jthread loop([&] { agent->main(stop.get_token()); });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stop.request_stop();
  loop.join();
  auto waits = requests("GET", "/events").size();
  EXPECT_GE(waits, 2u);
  // Each refused wait is followed by the short pause (and a heartbeat and a list request).
  EXPECT_LE(waits, 26u);
  EXPECT_EQ(status().state, "ready");
  std::string version(AppConfiguration::version());
  EXPECT_EQ(logLines().front(), "started (version " + version + ")");
  EXPECT_EQ(logLines().back(), "stopped (version " + version + ")");
}

}  // namespace
}  // namespace trellisant::testing

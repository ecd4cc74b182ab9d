#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "api/http.h"
#include "commands.h"
#include "company_fixture.h"
#include "settings/preferences.h"

using namespace trellisant;
using namespace trellisant::testing;
using namespace std::chrono_literals;

namespace {

struct FakeLoginItem : LoginItem {
  LoginItemStatus state = LoginItemStatus::notRegistered;
  int registered = 0, unregistered = 0;
  bool refuse = false;
  LoginItemStatus status() override { return state; }
  void registerItem() override {
    if (refuse) throw PlatformError("Failed to connect to bus: No medium found");
    ++registered;
    state = LoginItemStatus::enabled;
  }
  void unregisterItem() override {
    ++unregistered;
    state = LoginItemStatus::notRegistered;
  }
  void openSettings() override {}
  std::string describe() override { return "fake"; }
};

struct Outcome {
  int status;
  std::string out, err;
};

class CtlTest : public ::testing::Test {
 protected:
  Outcome ctl(std::vector<std::string> arguments) {
    std::ostringstream out, err;
    ctl::Context context(out, err);
    context.loginItem = loginItem;
    context.askAgent = [this] { return agent; };
    context.openBrowser = openBrowser;
    context.input = input;
    context.signInLimit = signInLimit;
    context.computerName = [] { return std::string("Grading Suite"); };
    context.lingering = [] { return std::nullopt; };
    int status = ctl::run(arguments, context);
    return {status, out.str(), err.str()};
  }

  static Preferences saved() { return Preferences::load(); }
  static void save(const Preferences& preferences) { preferences.save(Preferences::file()); }

  TempHome home;
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::optional<AgentStatus> agent;
  std::function<void(const std::string&)> openBrowser = [](const std::string&) {};
  int input = -1;
  std::chrono::steady_clock::duration signInLimit = 10s;
};

TEST_F(CtlTest, ExplainsItselfAndRefusesNonsense) {
  auto help = ctl({"--help"});
  EXPECT_EQ(help.status, 0);
  for (const char* command : {"status", "sign-in", "sign-out", "folder PATH", "enable", "pause",
                              "test", "server [URL]"})
    EXPECT_NE(help.out.find("  " + std::string(command) + " "), std::string::npos) << command;
  auto nonsense = ctl({"frobnicate"});
  EXPECT_EQ(nonsense.status, 2);
  EXPECT_EQ(nonsense.err.rfind("Unknown command: frobnicate\n", 0), 0u);
  EXPECT_EQ(ctl({"folder"}).status, 2);
  EXPECT_EQ(ctl({"pause", "now"}).status, 2);
  EXPECT_EQ(ctl({}).status, 2);
}

TEST_F(CtlTest, EverySettingOfTheWindow) {
  EXPECT_EQ(ctl({"bandwidth", "-5"}).out, "Bandwidth limit: unlimited\n") << "negative means none, as in the window";
  EXPECT_EQ(saved().bandwidthMbps, 0);
  EXPECT_EQ(ctl({"bandwidth", "12.5"}).out, "Bandwidth limit: 12.5 Mbps\n");
  EXPECT_EQ(saved().bandwidthMbps, 12.5);
  for (auto bad : std::vector<std::vector<std::string>>{{"bandwidth", "fast"}, {"bandwidth", "inf"},
                                                       {"bandwidth", "nan"}, {"overnight", "maybe"},
                                                       {"overnight", "on", "--from", "24"},
                                                       {"overnight", "on", "--until"}, {"battery"}})
    EXPECT_EQ(ctl(bad).status, 2) << bad.back();
  EXPECT_EQ(saved().bandwidthMbps, 12.5) << "refused input changes nothing";

  auto on = ctl({"overnight", "on", "--from", "23", "--until", "6"});
  EXPECT_EQ(on.out.rfind("Overnight: on, from 23:00 until 6:00 (", 0), 0u) << on.out;
  EXPECT_EQ(saved().startHour, 23);
  EXPECT_EQ(saved().endHour, 6);
  EXPECT_EQ(ctl({"overnight", "off"}).out, "Overnight: off\n");
  EXPECT_FALSE(saved().overnight);
  EXPECT_EQ(saved().startHour, 23) << "the hours stay for next time";
  ctl({"battery", "on"});
  EXPECT_TRUE(saved().allowBattery);
  ctl({"battery", "off"});
  EXPECT_FALSE(saved().allowBattery);
  EXPECT_EQ(ctl({"--version"}).out.rfind("trellisantctl ", 0), 0u);
}

TEST_F(CtlTest, StatusAsJsonAndWatched) {
  AgentStatus written{"downloading", "Downloading original footage", "Day 3 rushes", 1, 4, SystemClock::now()};
  Preferences receiving;
  receiving.receiving = true;
  save(receiving);
  loginItem->state = LoginItemStatus::enabled;
  agent = written;
  EXPECT_EQ(parseJson(ctl({"status", "--json"}).out), written.toJson());
  EXPECT_EQ(ctl({"status", "--fast"}).status, 2);

  // Not on a terminal: one plain line per change, until stopped.
  std::ostringstream out, err;
  ctl::Context context(out, err);
  context.loginItem = loginItem;
  std::stop_source stop;
  int asked = 0;
  context.askAgent = [&]() -> std::optional<AgentStatus> {
    AgentStatus now = written;
    if (++asked >= 3) now.bytes = 2;
    if (asked == 10) stop.request_stop();
    return now;
  };
  context.watchInterval = 1ms;
  context.stop = stop.get_token();
  ctl::watchStatus(context);
  EXPECT_EQ(asked, 10);
  EXPECT_EQ(out.str(),
            "downloading: Downloading original footage (Day 3 rushes), 1 of 4 bytes (25.0%)\n"
            "downloading: Downloading original footage (Day 3 rushes), 2 of 4 bytes (50.0%)\n");
}

TEST_F(CtlTest, ServerIsValidatedLikeTheClient) {
  auto shown = ctl({"server"});
  EXPECT_EQ(shown.out, Preferences().server + "\n");
  for (const char* bad : {"http://footage.example.com", "ftp://localhost", "footage"}) {
    auto refused = ctl({"server", bad});
    EXPECT_EQ(refused.status, 1) << bad;
    EXPECT_EQ(refused.err, "Use a secure server address, or localhost for development.\n");
    EXPECT_EQ(refused.out, "");
  }
  EXPECT_EQ(saved().server, Preferences().server);
  auto local = ctl({"server", "http://localhost:8080"});
  EXPECT_EQ(local.status, 1) << "the next load would reset it";
  EXPECT_EQ(local.out, "");
  EXPECT_EQ(saved().server, Preferences().server);
  EXPECT_EQ(ctl({"server", "https://footage.example.com:8443"}).status, 0);
  EXPECT_EQ(saved().server, "https://footage.example.com:8443");
  EXPECT_EQ(ctl({"server"}).out, "https://footage.example.com:8443\n");
}

TEST_F(CtlTest, AnotherFolderStopsReceivingTheSameOneKeepsIt) {
  auto first = home.root() / "First", second = home.root() / "Second";
  std::filesystem::create_directories(first);
  std::filesystem::create_directories(second);

  auto chosen = ctl({"folder", first.string()});
  EXPECT_EQ(chosen.status, 0) << chosen.err;
  EXPECT_EQ(chosen.out, "Folder saved. Enable receiving when you are ready. Existing files stay in "
                        "their original folder.\n");
  EXPECT_EQ(loginItem->unregistered, 0) << "nothing was registered";

  Preferences on = saved();
  on.receiving = true;
  save(on);
  loginItem->state = LoginItemStatus::enabled;
  auto again = ctl({"folder", (home.root() / "Second/../First").string()});
  EXPECT_EQ(again.out, "Download folder checked and saved.\n");
  EXPECT_TRUE(saved().receiving);
  EXPECT_EQ(loginItem->unregistered, 0);

  auto other = ctl({"folder", second.string()});
  EXPECT_EQ(other.status, 0);
  EXPECT_FALSE(saved().receiving);
  EXPECT_EQ(saved().destinationLabel, "Second");
  EXPECT_EQ(loginItem->unregistered, 1);

  auto file = home.root() / "notes.txt";
  writeText(file, "x");
  auto refused = ctl({"folder", file.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "Choose an available folder for your downloads.\n");
  EXPECT_EQ(saved().destinationLabel, "Second");
}

TEST_F(CtlTest, StatusShowsTheRecordWithTheAppsOverrides) {
  AgentStatus written{"downloading", "Downloading original footage", "Day 3 rushes",
                      1'250'000'000, 5'000'000'000, SystemClock::now() - 3s};
  written.save();
  Preferences on;
  on.receiving = true;
  save(on);

  auto shown = ctl({"status"});
  EXPECT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out.substr(0, shown.out.find("updated:")),
            "state: setup\n"
            "message: Allow Trellisant in Login Items to receive in the background.\n"
            "transfer: Day 3 rushes\n"
            "progress: 1250000000 of 5000000000 bytes (25.0%)\n");

  loginItem->state = LoginItemStatus::enabled;
  shown = ctl({"status"});
  EXPECT_EQ(shown.out, "state: downloading\nmessage: Downloading original footage\n"
                       "transfer: Day 3 rushes\nprogress: 1250000000 of 5000000000 bytes (25.0%)\n"
                       "updated: 3 seconds ago\nsign-in: none\n")
      << "the agent did not answer, so the file stands in";

  agent = written;
  agent->updatedAt = SystemClock::now() - 46s;
  EXPECT_NE(ctl({"status"}).out.find("state: needs_attention\nmessage: The receiving helper is not "
                                     "responding. Restart receiving.\n"),
            std::string::npos);

  EXPECT_EQ(ctl({"pause"}).out, "Receiving is paused.\n");
  EXPECT_EQ(ctl({"status"}).out.rfind("state: paused\nmessage: Receiving is paused.\n", 0), 0u);
}

TEST_F(CtlTest, EnableNeedsSignInAndReportsBackgroundFailures) {
  auto refused = ctl({"enable"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "Sign in before enabling receiving.\n");
  EXPECT_EQ(refused.out, "");
  EXPECT_EQ(loginItem->registered, 0);
  EXPECT_EQ(ctl({"test"}).err, "Sign in to test your device.\n");
}

class CtlServerTest : public CompanyTest {
 protected:
  void SetUp() override {
    CompanyTest::SetUp();
    Preferences preferences;
    preferences.server = server->baseUrl();
    std::filesystem::create_directories(home.root() / "Footage");
    preferences.setDestination(home.root() / "Footage");
    preferences.save(Preferences::file());
    ASSERT_EQ(::pipe(pasted), 0);
  }
  void TearDown() override {
    ::close(pasted[0]);
    if (pasted[1] >= 0) ::close(pasted[1]);
    CompanyTest::TearDown();
  }

  Outcome ctl(std::vector<std::string> arguments) {
    std::ostringstream out, err;
    ctl::Context context(out, err);
    context.loginItem = loginItem;
    context.askAgent = [] { return std::nullopt; };
    context.openBrowser = openBrowser;
    context.input = pasted[0];
    context.signInLimit = 10s;
    context.computerName = [] { return std::string("Grading Suite"); };
    context.lingering = [this] { return lingering; };
    context.keepAfterLogout = [this] { lingering = true; };
    int status = ctl::run(arguments, context);
    return {status, out.str(), err.str()};
  }

  void paste(const std::string& text) {
    ASSERT_EQ(::write(pasted[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  int pasted[2] = {-1, -1};
  std::optional<bool> lingering;
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::function<void(const std::string&)> openBrowser;
};

TEST_F(CtlServerTest, SignsInWithAPastedCallbackAndEnables) {
  openBrowser = [&](const std::string& url) {
    http::Request request;
    request.url = url;
    auto location = http::perform(request).header("Location").value_or("");
    Preferences changed = Preferences::load();  // a setting changed while the sign-in waits
    changed.setBandwidth(40);
    changed.save(Preferences::file());
    paste("\nhttps://trellisant.test/not-it\n" + location.substr(0, 20) + "\n  " + location + "  \n");
    throw PlatformError("no display");  // a browser failure is not the command's failure
  };
  auto signedIn = ctl({"sign-in"});
  EXPECT_EQ(signedIn.status, 0) << signedIn.err;
  EXPECT_NE(signedIn.out.find("/oauth/authorize?"), std::string::npos);
  EXPECT_NE(signedIn.out.find("Signed in. This computer is enrolled as \"Grading Suite\".\n"),
            std::string::npos);
  EXPECT_EQ(signedIn.err,
            "That is not the address this sign in waits for. Paste the address that starts "
                "with trellisant://oauth/callback.\n"
                "That is not the address this sign in waits for. Paste the address that starts "
                "with trellisant://oauth/callback.\n");
  ASSERT_TRUE(Vault::read() && Vault::read()->deviceKey);
  EXPECT_EQ(Preferences::load().bandwidthMbps, 40) << "the sign-in stores only itself";
  EXPECT_NE(ctl({"status"}).out.find("\nsign-in: " + (home.support() / "credentials.json").string() + "\n"),
            std::string::npos);

  lingering = false;  // as over SSH on most computers
  auto enabled = ctl({"enable"});
  EXPECT_EQ(enabled.status, 0) << enabled.err;
  EXPECT_EQ(enabled.out, "Receiving is on.\nReceiving stops when your last session on this computer ends. To "
                         "keep receiving after you log out, run: trellisantctl enable --linger\n");
  EXPECT_EQ(ctl({"enable", "--linger"}).out, "Receiving is on.\nReceiving continues after you log out.\n");
  EXPECT_EQ(ctl({"enable"}).out, "Receiving is on.\n");
  EXPECT_EQ(loginItem->registered, 3);
  EXPECT_TRUE(Preferences::load().receiving);

  auto tested = ctl({"test"});
  EXPECT_EQ(tested.out, "Folder access and device connection checked. Provider downloads still "
                        "require connected storage accounts.\n") << tested.err;
  EXPECT_TRUE(requestsTo("/api/v1/native/heartbeat").empty()) << "the registered agent answers";
  AgentStatus{"needs_attention", "Your download disk is full. Free up space to resume.", "", 0, 0,
              SystemClock::now()}.save();
  tested = ctl({"test"});
  EXPECT_EQ(tested.status, 1);
  EXPECT_EQ(tested.err, "Your download disk is full. Free up space to resume.\n");

  loginItem->state = LoginItemStatus::notRegistered;
  tested = ctl({"test"});
  EXPECT_EQ(tested.status, 0) << tested.err;
  EXPECT_EQ(requestsTo("/api/v1/native/heartbeat").size(), 1u);
}

TEST_F(CtlServerTest, SignInEndsWithTheInputOrTheBackgroundFailure) {
  openBrowser = [&](const std::string&) {
    ::close(pasted[1]);
    pasted[1] = -1;
  };
  auto canceled = ctl({"sign-in"});
  EXPECT_EQ(canceled.status, 1);
  EXPECT_EQ(canceled.err, "Sign in was canceled. You can try again.\n");
  EXPECT_FALSE(Vault::read());

  signIn();
  loginItem->refuse = true;
  auto refused = ctl({"enable"});
  EXPECT_EQ(refused.err, "Background access needs attention. Failed to connect to bus: No medium found\n");
  EXPECT_FALSE(Preferences::load().receiving);

  auto out = ctl({"sign-out"});
  EXPECT_EQ(out.status, 0) << out.err;
  EXPECT_EQ(out.out, "Signed out.\n");
  EXPECT_EQ(loginItem->unregistered, 1);
  EXPECT_FALSE(Vault::read());
}

// The real program, as a person runs it.
std::string runBinary(const TempHome& home, const std::string& arguments, int& status) {
  auto out = home.root() / "out.txt";
  std::string command = "HOME='" + (home.root() / "home").string() + "' '" TRELLISANTCTL "' " +
                        arguments + " >'" + out.string() + "' 2>&1 </dev/null";
  int raw = std::system(command.c_str());
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return readText(out);
}

TEST(TrellisantctlProgram, PrintsHelpAndFailsWithTheSentence) {
  TempHome home;
  int status = -1;
  EXPECT_NE(runBinary(home, "--help", status).find("sign-in"), std::string::npos);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(runBinary(home, "server http://footage.example.com", status),
            "Use a secure server address, or localhost for development.\n");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(runBinary(home, "enable", status), "Sign in before enabling receiving.\n");
  EXPECT_EQ(status, 1);
  runBinary(home, "status", status);
  EXPECT_EQ(status, 0);
}

}  // namespace

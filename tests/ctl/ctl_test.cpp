// trellisantctl's command lines and what it prints, through the core's receiving operations
// (the app's model tests cover the folder choice they share).
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "command_table.h"
#include "commands.h"
#include "company_fixture.h"
#include "control/receiving_control.h"
#include "fake_login_item.h"
#include "receipt/receipt.h"
#include "test_support.h"

using namespace trellisant;
using namespace trellisant::testing;

namespace {

struct Outcome { int status; std::string out, err; };

class CtlTest : public CompanyTest {
 protected:
  void SetUp() override {
    CompanyTest::SetUp();
    ASSERT_EQ(::pipe(pasted), 0);
    ReceivingControl::edit([&](Preferences& p) { p.server = server->baseUrl(); });
    parts.loginItem = loginItem;
    parts.askAgent = [] { return std::nullopt; };
    parts.input = pasted[0];
    parts.computerName = [] { return std::string("Grading Suite"); };
    parts.lingering = [this] { return lingering; };
    parts.keepAfterLogout = [this] { lingering = true; };
    parts.watchInterval = 1ms;
    parts.rateWait = 50ms;
    parts.stop = stop.get_token();
  }
  Outcome ctl(std::vector<std::string> arguments) {
    out.str("");
    err.str("");
    int status = ctl::run(arguments, parts);
    return {status, out.str(), err.str()};
  }

  std::ostringstream out, err;
  ctl::CtlParts parts{out, err};
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::stop_source stop;
  std::optional<bool> lingering;
  int pasted[2] = {-1, -1};
};

TEST_F(CtlTest, ReadsItsCommandLinesAndPrintsTheSettings) {
  EXPECT_EQ(ctl({"frobnicate"}).err.rfind("Unknown command: frobnicate\n", 0), 0u);
  EXPECT_EQ(ctl({"bandwidth", "-5"}).out, "Bandwidth limit: unlimited\n") << "negative means none, as in the window";
  EXPECT_EQ(ctl({"bandwidth", "12.5"}).out, "Bandwidth limit: 12.5 Mbps\n");
  for (auto bad : std::vector<std::vector<std::string>>{
           {}, {"folder"}, {"pause", "now"}, {"status", "--fast"}, {"enable", "--now"}, {"bandwidth", "fast"},
           {"bandwidth", "inf"}, {"bandwidth", "nan"}, {"overnight", "maybe"}, {"overnight", "on", "--from", "24"},
           {"overnight", "on", "--until"}, {"battery"}, {"history", "--limit", "0"}, {"history", "--json", "--limit"}})
    EXPECT_EQ(ctl(bad).status, 2) << (bad.empty() ? "" : bad.back());
  EXPECT_EQ(Preferences::load().bandwidthMbps, 12.5) << "refused input changes nothing";
  EXPECT_EQ(ctl({"overnight", "on", "--from", "23", "--until", "6"}).out.rfind("Overnight: on, from 23:00 until 6:00 (", 0), 0u);
  EXPECT_EQ(ctl({"battery", "on"}).out, "Downloads may run on battery.\n");
  EXPECT_TRUE(Preferences::load().startHour == 23 && Preferences::load().allowBattery) << "the hours stay for next time";
  for (const char* bad : {"http://footage.example.com", "ftp://localhost", "http://localhost:8080"})
    EXPECT_EQ(ctl({"server", bad}).status, 1) << bad << ": a loopback server would be reset at the next load";
  EXPECT_EQ(ctl({"server", "footage"}).err, "Use a secure server address, or localhost for development.\n");
  EXPECT_EQ(ctl({"server", "https://footage.example.com:8443"}).out, "https://footage.example.com:8443\n");
  EXPECT_EQ(ctl({"server"}).out, "https://footage.example.com:8443\n");
}

TEST_F(CtlTest, StatusShowsTheRecordAsTheWindowWouldAndWatchesIt) {
  AgentStatus written{AgentState::downloading, "Downloading original footage", "Day 3 rushes", 1'250'000'000, 5'000'000'000,
                      SystemClock::now() - 3s};
  written.save();
  ReceivingControl::edit([&](Preferences& p) { p.receiving = true; });
  loginItem->set(LoginItemStatus::enabled);
  // However long the command takes, the age it prints lies between those at its start and end.
  const auto age = [&] { return std::llround(Seconds(SystemClock::now() - written.updatedAt).count()); };
  auto least = age();
  const std::string shown = ctl({"status"}).out;
  for (const auto most = age(); least < most && shown.find("updated: " + std::to_string(least) + " ") == std::string::npos; ++least) {}
  EXPECT_EQ(shown, "state: downloading\nmessage: Downloading original footage\ntransfer: Day 3 rushes\nprogress: 1250000000 "
                   "of 5000000000 bytes (25.0%)\nupdated: " + std::to_string(least) + " seconds ago\nsign-in: none\n")
      << "the agent did not answer, so the file stands in";
  written.updatedAt = SystemClock::now() - 46s;
  parts.askAgent = [&] { return std::optional(written); };
  EXPECT_EQ(parseJson(ctl({"status", "--json"}).out).at("state"), "needs_attention") << "a silent agent";

  // Watched off a terminal: one plain line per change, until stopped; the speed once the bytes
  // move (the agent's records 5 s apart), "stalled" once they have not for 30 s.
  int asked = 0;
  const Date start = SystemClock::now();
  parts.askAgent = [&] {
    if (++asked == 10) stop.request_stop();
    return std::optional(AgentStatus{AgentState::downloading, "Downloading", "", asked < 3 ? 0 : 50'000'000, 100'000'000,
                                     start + asked * 5s});
  };
  const std::string watched = ctl({"status", "--watch"}).out;
  EXPECT_EQ(watched.rfind("downloading: Downloading, 0 of 100000000 bytes (0.0%)\ndownloading: Downloading, 50000000 of "
                          "100000000 bytes (50.0%) · 5.0 MB/s · about 10 s left\n", 0), 0u) << watched;
  EXPECT_TRUE(watched.ends_with("(50.0%) · stalled\n")) << watched;
  EXPECT_EQ(asked, 10);
}

TEST_F(CtlTest, SignsInWithAPastedCallbackEnablesTestsAndSignsOut) {
  EXPECT_EQ(ctl({"enable"}).err, std::string(ReceivingControl::signInFirstMessage) + "\n");
  parts.openBrowser = [&](const std::string& url) {
    const std::string location = locationOf(url);
    ReceivingControl::edit([](Preferences& p) { p.setBandwidth(40); });  // changed while the sign-in waits
    std::string lines = "\nhttps://trellisant.test/not-it\n" + location.substr(0, 20) + "\n  " + location + "  \n";
    ASSERT_EQ(::write(pasted[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    throw PlatformError("no display");  // a browser failure is not the command's failure
  };
  auto signedIn = ctl({"sign-in"});
  EXPECT_NE(signedIn.out.find("/oauth/authorize?"), std::string::npos);
  EXPECT_NE(signedIn.out.find("Signed in. This computer is enrolled as \"Grading Suite\".\n"), std::string::npos);
  const std::string notIt = "That is not the address this sign in waits for. Paste the address that starts with "
                            "trellisant://oauth/callback.\n";
  EXPECT_EQ(signedIn.err, notIt + notIt);
  ASSERT_TRUE(Vault::read() && Vault::read()->deviceKey);
  EXPECT_EQ(Preferences::load().bandwidthMbps, 40) << "the sign-in stores only itself";

  EXPECT_EQ(ctl({"enable"}).err, "Choose a download folder first: trellisantctl folder PATH\n");
  std::filesystem::create_directories(home.root() / "Footage");
  EXPECT_EQ(ctl({"folder", (home.root() / "Footage").string()}).out, std::string(ReceivingControl::folderChangedNotice) + "\n");
  lingering = false;  // as over SSH on most computers
  EXPECT_EQ(ctl({"enable"}).out, "Receiving is on.\nReceiving stops when your last session on this computer ends. To "
                                 "keep receiving after you log out, run: trellisantctl enable --linger\n");
  EXPECT_EQ(ctl({"enable", "--linger"}).out, "Receiving is on.\nReceiving continues after you log out.\n");
  EXPECT_EQ(ctl({"enable"}).out, "Receiving is on.\n");
  EXPECT_EQ(ctl({"sign-out"}).out, "Signed out.\n");

  // The end of the input cancels a sign-in.
  parts.openBrowser = [&](const std::string&) { ::close(std::exchange(pasted[1], -1)); };
  auto canceled = ctl({"sign-in"});
  EXPECT_TRUE(canceled.status == 1 && !Vault::read());
  EXPECT_EQ(canceled.err, "Sign in was canceled. You can try again.\n");
}

// The installed completion and man page are made from the command table at build time.
TEST(CtlTexts, TheCompletionAndTheManPageFollowTheCommandTable) {
  TempDir folders;
  std::filesystem::create_directories(folders.path() / "Footage");
  auto complete = [&](const std::string& words) {  // the last word is the one being completed
    writeText(folders.path() / "complete.sh", "source '" TRELLISANTCTL_COMPLETION "'\nCOMP_WORDS=(trellisantctl " + words +
                                                  ")\nCOMP_CWORD=$((${#COMP_WORDS[@]} - 1))\n_trellisantctl\necho \"${COMPREPLY[*]}\"\n");
    FILE* shell = ::popen(("bash '" + (folders.path() / "complete.sh").string() + "'").c_str(), "r");
    std::string reply(4096, '\0');
    reply.resize(std::fread(reply.data(), 1, reply.size(), shell));
    ::pclose(shell);
    return reply;
  };
  std::string names;
  for (const auto& command : ctl::commandTable()) names += (names.empty() ? "" : " ") + std::string(command.name);
  EXPECT_EQ(complete("\"\""), names + "\n");
  EXPECT_EQ(complete("sig"), "sign-in sign-out\n");
  EXPECT_EQ(complete("status \"\""), "--watch --json\n");
  EXPECT_EQ(complete("battery o"), "on off\n");
  EXPECT_EQ(complete("overnight on \"\""), "--from --until\n");
  EXPECT_EQ(complete("overnight on --from 2"), "2 20 21 22 23\n");
  EXPECT_EQ(complete("bandwidth \"\""), "\n");
  EXPECT_EQ(complete("folder " + (folders.path() / "Foo").string()), (folders.path() / "Footage").string() + "\n");

  const std::string page = readText(TRELLISANTCTL_MAN);
  EXPECT_EQ(page.find('@'), std::string::npos) << "every placeholder filled";
  const std::string commands = page.substr(page.find(".SH COMMANDS"), page.find(".SH EXIT STATUS") - page.find(".SH COMMANDS"));
  std::size_t described = 0;
  for (auto at = commands.find(".TP\n"); at != std::string::npos; at = commands.find(".TP\n", at + 1)) ++described;
  EXPECT_EQ(described, ctl::commandTable().size()) << "a paragraph a command";
  for (const auto& command : ctl::commandTable()) {
    std::string name;
    for (char c : command.name) name += c == '-' ? std::string("\\-") : std::string(1, c);
    EXPECT_NE(page.find(".B trellisantctl " + name + "\n"), std::string::npos) << "synopsis: " << command.name;
    EXPECT_TRUE(commands.find(".B " + name) != std::string::npos || commands.find(".BR " + name) != std::string::npos ||
                commands.find(".BI " + name) != std::string::npos) << "described: " << command.name;
  }
}

}  // namespace

// The world runs read the text form of verify; here the misuse, the folder without a receipt,
// the JSON form, and the folders a history would hand in.
TEST_F(CtlTest, VerifiesAFolderAgainstItsReceipt) {
  TempDir root;
  const Delivery delivery{"d1", "abcdefgh-1", "Day 1", "Feature", "Acme", "3", 1, ""};
  const auto folder = root.path() / "Acme" / "Feature" / "abcdefgh Day 1";
  std::filesystem::create_directories(folder);
  writeText(folder / "A.mov", "abc");
  EXPECT_EQ(ctl({"verify"}).status, 2) << "no received history to take the folders from yet";
  EXPECT_EQ(ctl({"verify", folder.string(), "--fast"}).status, 2);
  auto none = ctl({"verify", folder.string()});
  EXPECT_EQ(std::tie(none.status, none.err), std::tuple(1, std::string("This folder has no media hash list.\n")));
  ASSERT_EQ(writeReceipt(delivery, {{"f1", "A.mov", "3", "v1", std::nullopt, std::nullopt}}, root.path(),
                         ReceiptLedger(), {"host", "1", 0}),
            ReceiptOutcome::written);
  parts.receivedHistory = [&](std::int64_t) {
    ReceivedDelivery received;
    received.folder = folder;
    return std::vector{received, received};
  };
  auto json = Json::parse(ctl({"verify", "--json"}).out);
  EXPECT_EQ(json.at("folders").size(), 2u);
  EXPECT_EQ(json.at("folders")[0].at("bytes"), 3);
  EXPECT_EQ(json.at("matches"), true);
  writeText(folder / "A.mov", "abd");
  auto changed = ctl({"verify", folder.string(), "--json"});
  EXPECT_EQ(changed.status, 1);
  EXPECT_EQ(Json::parse(changed.out).at("folders")[0].at("changed"), Json::array({"A.mov"}));
}

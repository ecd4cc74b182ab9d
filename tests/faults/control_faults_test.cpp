// Strangers at the agent's control socket: only the app beside the agent, exactly as installed,
// is answered; another program of the same user, a changed copy of the app and any other user
// are not.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "control/status_client.h"
#include "fault_tools.h"
#include "encoding.h"
#include "fileio.h"
#include "settings/paths.h"

namespace trellisant::faults {
namespace {


constexpr uid_t kNobody = 65534;

// A copy of `program` with one byte of its compiler note changed: it runs as before, but it is
// not the same executable.
void copyWithOneByteChanged(const fs::path& program, const fs::path& copy) {
  std::string bytes = readFile(program).value();
  auto at = bytes.find("GCC: (");
  ASSERT_NE(at, std::string::npos);
  bytes[at + 1] = 'c';
  std::ofstream(copy, std::ios::binary) << bytes;
  fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
}

// The probe's answer: the status JSON, or "none" when it was refused.
std::string ask(World& world, const std::vector<std::string>& command) {
  std::vector<std::string> argv = command;
  argv.push_back(Paths::controlSocket().string());
  auto output = run(argv, world.folder() / "logs", std::chrono::seconds(10));
  if (output.status != 0) return "exit " + std::to_string(output.status) + ": " + output.err;
  return output.out.substr(0, output.out.find('\n'));
}

bool answered(const std::string& reply) {
  return reply.rfind("{", 0) == 0;
}

TEST(Faults, ControlSocketStrangers) {
  Scenario scenario("control-socket");
  World world;
  world.signIn();
  world.chooseFolder();
  // The app, as the agent finds it beside itself.
  fs::path app = world.folder() / "bin" / "trellisant";
  fs::copy_file(probe(), app);
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1 && fs::exists(Paths::controlSocket()); }, 10s));
  world.waitForState("ready", 30s);
  ASSERT_TRUE(answered(ask(world, {app.string()}))) << "the app itself is not answered";

  // Another program of the same user: this driver itself.
  scenario.injected();
  bool driverRefused = !requestAgentStatus(Paths::controlSocket(), 5s).has_value();
  EXPECT_TRUE(driverRefused);
  // The app with one byte changed.
  fs::path changed = world.folder() / "bin" / "trellisant-changed";
  copyWithOneByteChanged(app, changed);
  scenario.injected();
  std::string changedReply = ask(world, {changed.string()});
  EXPECT_EQ(changedReply, "none");
  if (driverRefused) scenario.survived();
  if (changedReply == "none") scenario.survived();

  // Another user, with the same bytes as the app and every folder on the way opened for it, so
  // that only the agent's own check stands between it and the status.
  fs::path shared = "/tmp/trellisant-faults-" + makeUUID();
  fs::create_directories(shared);
  fs::copy_file(app, shared / "trellisant");
  ::chmod(shared.c_str(), 0755);
  ::chmod((shared / "trellisant").c_str(), 0755);
  for (fs::path folder = Paths::controlSocket().parent_path();
       folder.string().rfind(world.folder().string(), 0) == 0; folder = folder.parent_path())
    ::chmod(folder.c_str(), 0755);
  ::chmod(Paths::controlSocket().c_str(), 0777);
  std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=" + std::to_string(kNobody),
                                       "--regid=" + std::to_string(kNobody), "--clear-groups",
                                       (shared / "trellisant").string()};
  std::string sameUser = ask(world, {(shared / "trellisant").string()});
  std::string otherUser = ask(world, asNobody);
  fs::remove_all(shared);
  EXPECT_TRUE(answered(sameUser)) << sameUser;
  if (otherUser.rfind("exit ", 0) == 0) {
    // A world made through a user namespace maps no other user.
    scenario.detail("another user: not available here (" + otherUser.substr(0, otherUser.find('\n')) + ")");
  } else {
    scenario.injected();
    EXPECT_EQ(otherUser, "none");
    if (otherUser == "none") scenario.survived();
    scenario.detail("another user refused");
  }
  EXPECT_EQ(world.agents().size(), 1u) << "the agent ended";
  scenario.detail("the app answered; this driver and the app with one byte changed refused");
}

}  // namespace
}  // namespace trellisant::faults

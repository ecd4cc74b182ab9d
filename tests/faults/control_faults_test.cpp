// Strangers at the agent's control socket: only the app beside the agent, exactly as installed,
// is answered; another program of the same user, a changed copy of the app and any other user
// are not.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "control/status_client.h"
#include "encoding.h"
#include "fault_tools.h"
#include "fileio.h"
#include "settings/paths.h"

namespace trellisant::faults {
namespace {

// The status probe's answer through the socket: the status JSON, "none" when it was refused.
std::string ask(World& world, std::vector<std::string> command) {
  command.push_back(Paths::controlSocket().string());
  auto [status, output] = run(command, world.folder() / "logs", 10s);
  return status == 0 ? output.substr(0, output.find('\n')) : "exit " + std::to_string(status) + ": " + output;
}

TEST(Faults, ControlSocketStrangers) {
  Scenario scenario("control-socket");
  World world;
  world.signIn();
  world.chooseFolder();
  // The app, as the agent finds it beside itself.
  fs::path app = world.folder() / "bin" / "trellisant";
  fs::copy_file(required("TRELLISANT_PROBE"), app);
  world.ctlOk({"enable"});
  world.waitForState("ready", 30s);
  ASSERT_TRUE(ask(world, {app}).starts_with("{")) << "the app itself is not answered";

  // Another program of the same user (this driver itself), and the app with one byte of its
  // compiler note changed: it runs as before, but it is not the same executable.
  fs::path changed = world.folder() / "bin" / "trellisant-changed";
  std::string bytes = readFile(app).value();
  bytes.at(bytes.find("GCC: (") + 1) = 'c';
  testing::writeText(changed, bytes);
  fs::permissions(changed, fs::perms::owner_all);
  const bool driverRefused = !requestAgentStatus(Paths::controlSocket(), 5s);
  const std::string changedReply = ask(world, {changed});
  EXPECT_TRUE(driverRefused);
  EXPECT_EQ(changedReply, "none");
  scenario.injected(2);
  scenario.survived(driverRefused + (changedReply == "none"));

  // Another user, with the same bytes as the app and every folder on the way opened for it, so
  // that only the agent's own check stands between it and the status.
  fs::path shared = "/tmp/trellisant-faults-" + makeUUID();
  fs::create_directories(shared);
  fs::copy_file(app, shared / "trellisant");
  for (fs::path folder = Paths::controlSocket().parent_path(); folder.string().starts_with(world.folder().string());
       folder = folder.parent_path())
    ::chmod(folder.c_str(), 0755);
  for (const fs::path& path : {shared, shared / "trellisant", Paths::controlSocket()}) ::chmod(path.c_str(), 0777);
  const std::string sameUser = ask(world, {shared / "trellisant"});
  const std::string otherUser = ask(world, {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                            shared / "trellisant"});
  fs::remove_all(shared);
  EXPECT_TRUE(sameUser.starts_with("{")) << sameUser;
  if (otherUser.starts_with("exit ")) {
    // A world made through a user namespace maps no other user.
    scenario.detail("another user: not available here (" + otherUser.substr(0, otherUser.find('\n')) + ")");
  } else {
    scenario.injected();
    EXPECT_EQ(otherUser, "none");
    scenario.survived(otherUser == "none");
    scenario.detail("another user refused");
  }
  EXPECT_EQ(world.agents().size(), 1u) << "the agent ended";
  scenario.detail("the app answered; this driver and the app with one byte changed refused");
}

}  // namespace
}  // namespace trellisant::faults

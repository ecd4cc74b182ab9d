#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>

#include "control/agent_status.h"
#include "test_support.h"

using namespace trellisant;
using namespace trellisant::testing;

extern char** environ;

namespace {

// Runs a shell command; its standard output and exit status.
std::pair<std::string, int> shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  while (size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  int status = ::pclose(pipe);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(Package, InstallsEverythingAndRunsFromAFreshRoot) {
  TempHome home;
  TempDir work;
  auto [made, status] = shell("cd '" + work.path().string() + "' && cpack -G DEB --config '" +
                              TRELLISANT_BUILD_DIR "/CPackConfig.cmake' -B '" + work.path().string() + "'");
  ASSERT_EQ(status, 0) << made;
  fs::path deb;
  for (auto& entry : fs::directory_iterator(work.path()))
    if (entry.path().extension() == ".deb") deb = entry.path();
  ASSERT_FALSE(deb.empty()) << made;

  auto [listing, listed] = shell("dpkg -c '" + deb.string() + "'");
  ASSERT_EQ(listed, 0) << listing;
  std::string prefix = "." TRELLISANT_INSTALL_PREFIX;
  for (std::string file : {"/bin/trellisant", "/bin/trellisant-agent", "/bin/trellisantctl",
                           "/share/applications/trellisant.desktop",
                           "/share/icons/hicolor/scalable/apps/trellisant.svg", "/share/man/man1/trellisantctl.1",
                           "/share/bash-completion/completions/trellisantctl",
                           "/lib/systemd/user/trellisant-agent.service"})
    EXPECT_NE(listing.find(prefix + file + "\n"), std::string::npos) << file << " missing from\n" << listing;
  auto [fields, read] = shell("dpkg-deb -f '" + deb.string() + "' Depends");
  EXPECT_NE(fields.find("libcurl4"), std::string::npos) << "runtime dependencies come from shlibdeps: " << fields;
  EXPECT_NE(fields.find("libqt6widgets6"), std::string::npos) << fields;

  fs::path root = work.path() / "root";
  auto [unpacked, unpackedStatus] = shell("dpkg-deb -x '" + deb.string() + "' '" + root.string() + "'");
  ASSERT_EQ(unpackedStatus, 0) << unpacked;
  fs::path bin = root / fs::path(TRELLISANT_INSTALL_PREFIX).relative_path() / "bin";
  auto [version, versionStatus] = shell("'" + (bin / "trellisantctl").string() + "' --version");
  EXPECT_EQ(version, "trellisantctl " TRELLISANT_VERSION "\n");
  EXPECT_EQ(versionStatus, 0);

  // The installed agent's first pass: nobody signed in yet.
  std::string agent = (bin / "trellisant-agent").string();
  char* argv[] = {agent.data(), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(::posix_spawn(&pid, agent.c_str(), nullptr, nullptr, argv, environ), 0);
  bool passed = waitUntil(
      [&] { return AgentStatus::load().message == "Sign in to Trellisant to receive footage."; },
      std::chrono::seconds(30));
  ::kill(pid, SIGTERM);
  int exit = 0;
  ::waitpid(pid, &exit, 0);
  EXPECT_TRUE(passed) << AgentStatus::load().stateWord() << ": " << AgentStatus::load().message;
  EXPECT_TRUE(WIFEXITED(exit) && WEXITSTATUS(exit) == 0) << "a stopped agent exits cleanly";
}

}  // namespace

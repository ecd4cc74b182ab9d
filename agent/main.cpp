// trellisant-agent: receives deliveries in the background until SIGTERM or SIGINT.
// `trellisant-agent --version` prints the version and touches nothing.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <stop_token>
#include <thread>

#include "agent.h"
#include "log.h"
#include "settings/app_configuration.h"
#include "settings/paths.h"

using namespace trellisant;

namespace {

// Exactly one agent works per support folder: a second one would lease the same deliveries,
// fetch the same ranges into the same partial files and take over the control socket. The
// lock lasts as long as the process (the descriptor is never closed); the kernel drops it
// however the process ends. False when another agent holds it.
bool onlyAgent(const LogSink& log) {
  auto file = Paths::agentLock();
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (fd >= 0 && errno == EWOULDBLOCK) {
    log("another agent already works in " + file.parent_path().string() + "; this one ends.");
    return false;
  }
  // Without a usable lock file the passes report the unusable support folder themselves.
  int error = errno;
  log("cannot lock " + file.string() + ": " + std::strerror(error));
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (AppConfiguration::asksVersion(argc, argv)) {
    std::cout << AppConfiguration::versionLine(kAgentProgram);
    return 0;
  }
  LogSink log = backgroundLog(kAgentProgram, Paths::logFile(kAgentProgram));
  if (!onlyAgent(log)) return 0;

  // Before any other thread starts, so that every one of them leaves the stop signals to it.
  std::stop_source stop;
  std::jthread waiter = stopOnSignals(stop);
  signal(SIGPIPE, SIG_IGN);

  {
    AgentParts parts;
    parts.log = log;
    Agent agent(std::move(parts));
    agent.main(stop.get_token());
  }
  waiter.request_stop();
  return 0;
}

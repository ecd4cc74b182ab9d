#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <thread>

#include "control/status_client.h"
#include "commands.h"

namespace {

// Ends `stop` at SIGINT or SIGTERM, so a long-running command (status --watch, verify) can finish its
// output instead of dying mid-line.
std::jthread stopOnSignals(std::stop_source& stop) {
  static sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return std::jthread([&stop](std::stop_token own) {
    while (!own.stop_requested()) {
      timespec wake{0, 200'000'000};
      int received = sigtimedwait(&signals, nullptr, &wake);
      if (received == SIGINT || received == SIGTERM) {
        stop.request_stop();
        return;
      }
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  using namespace trellisant;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  ctl::Context context{std::cout, std::cerr};
  context.loginItem = std::make_shared<SystemdLoginItem>();
  context.askAgent = [] { return requestAgentStatus(); };
  context.openBrowser = [](const std::string& url) {
    // xdg-open falls back to text browsers without a display; those need the terminal.
    if (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")) spawnDetached({"xdg-open", url});
  };
  context.terminal = ::isatty(STDOUT_FILENO) == 1;
  std::stop_source stop;
  std::jthread signals;
  if ((arguments.size() == 2 && arguments[0] == "status" && arguments[1] == "--watch") ||
      (!arguments.empty() && arguments[0] == "verify")) {
    signals = stopOnSignals(stop);
    context.stop = stop.get_token();
  }
  return ctl::run(arguments, context);
}

#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "control/status_client.h"
#include "platform/spawn.h"
#include "program.h"
#include "commands.h"

int main(int argc, char** argv) {
  using namespace trellisant;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  ctl::CtlParts parts{std::cout, std::cerr};
  parts.loginItem = std::make_shared<SystemdLoginItem>();
  parts.askAgent = [] { return requestAgentStatus(); };
  parts.openBrowser = [](const std::string& url) {
    // xdg-open falls back to text browsers without a display; those need the terminal.
    if (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")) spawnDetached({"xdg-open", url});
  };
  parts.terminal = ::isatty(STDOUT_FILENO) == 1;
  std::stop_source stop;
  std::jthread signals;
  // A status watches a download for its speed, verify reads for long: an interrupt ends them too.
  if (!arguments.empty() && (arguments[0] == "status" || arguments[0] == "verify")) {
    signals = stopOnSignals(stop);
    parts.stop = stop.get_token();
  }
  return ctl::run(arguments, parts);
}

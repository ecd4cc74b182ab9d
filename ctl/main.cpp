#include <cstdlib>
#include <iostream>

#include "agent_status/status_client.h"
#include "commands.h"

int main(int argc, char** argv) {
  using namespace trellisant;
  ctl::Context context{std::cout, std::cerr};
  context.loginItem = std::make_shared<SystemdLoginItem>();
  context.askAgent = [] { return requestAgentStatus(); };
  context.openBrowser = [](const std::string& url) {
    // xdg-open falls back to text browsers without a display; those need the terminal.
    if (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")) spawnDetached({"xdg-open", url});
  };
  return ctl::run({argv + 1, argv + argc}, context);
}

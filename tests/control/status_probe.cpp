// Asks an agent's control service for its status and prints the JSON reply, or "none".
// Tests run copies of it as the app (or as an impostor) because the service judges a peer by
// the bytes of its executable.
#include <cstdio>

#include "control/status_client.h"

int main(int argc, char** argv) {
  auto status = argc > 1 ? trellisant::requestAgentStatus(argv[1]) : trellisant::requestAgentStatus();
  std::puts(status ? status->toJson().dump().c_str() : "none");
  return 0;
}

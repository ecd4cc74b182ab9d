// Stands in for trellisant-agent in the login item tests: notes its start and its stop in
// $HOME/standin.log and runs until SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

void note(const std::string& what, int arguments) {
  const char* home = std::getenv("HOME");
  std::ofstream log(std::string(home ? home : "/tmp") + "/standin.log", std::ios::app);
  log << what << " " << ::getpid() << " " << arguments << " " << ::getsid(0) << "\n";
}

}  // namespace

int main(int argc, char**) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  note("started", argc - 1);
  int signal = 0;
  sigwait(&set, &signal);
  note("stopped", argc - 1);
  return 0;
}

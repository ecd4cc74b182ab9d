// Stands in for trellisant-agent in the login item tests: notes its start and its stop in
// $HOME/standin.log, the folder and proxy variables it was started with in $HOME/standin.env
// (one "NAME=value" line each, then "--"), and runs until SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string inHome(const char* name) {
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "/tmp") + "/" + name;
}

void note(const std::string& what, int arguments) {
  std::ofstream log(inHome("standin.log"), std::ios::app);
  log << what << " " << ::getpid() << " " << arguments << " " << ::getsid(0) << "\n";
}

void noteEnvironment() {
  std::string text;
  for (const char* name : {"XDG_DATA_HOME", "https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY",
                           "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
    if (const char* value = std::getenv(name)) text += std::string(name) + "=" + value + "\n";
  }
  std::ofstream(inHome("standin.env"), std::ios::app) << text << "--\n";
}

}  // namespace

int main(int argc, char**) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  noteEnvironment();
  note("started", argc - 1);
  int signal = 0;
  sigwait(&set, &signal);
  note("stopped", argc - 1);
  return 0;
}

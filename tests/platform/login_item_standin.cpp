// Stands in for trellisant-agent in the login item tests: notes in $HOME/standin.env the folder
// and proxy variables it was started with (one "NAME=value" line each, then "--"), and in
// $HOME/standin.log "started"/"stopped" with its process, argument count and session; runs
// until SIGTERM.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

int main(int argc, char**) {
  const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/tmp";
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  std::string env;
  for (const char* name : {"XDG_DATA_HOME", "https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "no_proxy", "NO_PROXY"})
    if (const char* value = std::getenv(name)) env += std::string(name) + "=" + value + "\n";
  std::ofstream(home + "/standin.env", std::ios::app) << env << "--\n";
  auto note = [&](const char* what) {
    std::ofstream(home + "/standin.log", std::ios::app) << what << " " << ::getpid() << " " << argc - 1 << " " << ::getsid(0) << "\n";
  };
  note("started");
  int signal = 0;
  sigwait(&set, &signal);
  note("stopped");
}

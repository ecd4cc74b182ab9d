#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "error.h"
#include "program.h"

namespace trellisant {
namespace {

std::vector<char*> argvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> pointers;
  for (const auto& arg : argv) pointers.push_back(const_cast<char*>(arg.c_str()));
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

void spawnDetached(const std::vector<std::string>& argv) {
  auto found = findProgram(argv.at(0));
  if (!found) throw PlatformError(argv.at(0) + ": " + std::strerror(ENOENT));
  std::string program = found->string();
  auto args = argvPointers(argv);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) throw systemError(errno);
  pid_t middle = ::fork();
  if (middle < 0) {
    int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    throw systemError(error);
  }
  if (middle == 0) {
    // Only async-signal-safe calls from here on. The grandchild is adopted by init (or the
    // session's subreaper) as soon as the middle process exits, so it never becomes our zombie.
    pid_t started = ::fork();
    if (started < 0) {
      int error = errno;
      (void)!::write(report[1], &error, sizeof error);
      ::_exit(127);
    }
    if (started > 0) ::_exit(0);
    ::setsid();
    int null = ::open("/dev/null", O_RDWR);
    if (null >= 0) {
      ::dup2(null, 0);
      ::dup2(null, 1);
      ::dup2(null, 2);
    }
    ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int signal : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) ::signal(signal, SIG_DFL);
    ::execv(program.c_str(), args.data());
    int error = errno;
    (void)!::write(report[1], &error, sizeof error);
    ::_exit(127);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  int error = 0;
  ssize_t n;
  while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  if (n == static_cast<ssize_t>(sizeof error)) throw PlatformError(program + ": " + std::strerror(error));
}

}  // namespace trellisant

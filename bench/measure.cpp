// trellisant-bench-measure: runs a command and prints one line of figures for it.
//
//   trellisant-bench-measure [--until FILE TEXT] [--fail-on TEXT] [--sample SECONDS]
//                            [--limit SECONDS] -- CMD...
//
// Without --until: wall time to the command's exit, its CPU time and peak RSS (its waited-for
// children included), and its exit status.
// With --until: the figures are taken from /proc when FILE first contains TEXT (polled every
// 10 ms); then, with --sample, the CPU time used over the next SECONDS is added; then the
// command gets SIGTERM. --fail-on ends the wait with a failure when FILE shows that text.
// The command's own output goes to stderr. Output: "wall=S cpu=S user=S sys=S rss_kib=N status=N [idle_cpu=S]".
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Usage {
  double user = 0;
  double sys = 0;
  long rssKib = 0;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// CPU times of the process itself (fields 14 and 15 of /proc/PID/stat) and its VmHWM.
Usage procUsage(pid_t pid) {
  Usage usage;
  std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
  auto close = stat.rfind(')');
  if (close != std::string::npos) {
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> values(std::istream_iterator<std::string>(fields), {});
    double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    if (values.size() > 12) {
      usage.user = std::stod(values[11]) / tick;
      usage.sys = std::stod(values[12]) / tick;
    }
  }
  std::istringstream status(slurp("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) usage.rssKib = std::atol(line.c_str() + 6);
  return usage;
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: trellisant-bench-measure [--until FILE TEXT] [--sample SECONDS] "
               "[--fail-on TEXT] [--limit SECONDS] -- CMD...\n");
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  std::string untilFile, untilText, failText;
  double sample = 0, limit = 3600;
  int i = 1;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    } else if (arg == "--until" && i + 2 < argc) {
      untilFile = argv[++i];
      untilText = argv[++i];
    } else if (arg == "--fail-on" && i + 1 < argc) {
      failText = argv[++i];
    } else if (arg == "--sample" && i + 1 < argc) {
      sample = std::atof(argv[++i]);
    } else if (arg == "--limit" && i + 1 < argc) {
      limit = std::atof(argv[++i]);
    } else {
      usage();
    }
  }
  if (i >= argc) usage();

  auto started = Clock::now();
  pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) {
    dup2(STDERR_FILENO, STDOUT_FILENO);  // stdout carries only the figures
    execvp(argv[i], argv + i);
    std::perror(argv[i]);
    _exit(127);
  }

  Usage seen;
  double wall = 0, idle = -1;
  bool reached = false;
  int status = 0;
  rusage finalUsage{};
  if (!untilFile.empty()) {
    while (seconds(Clock::now() - started) < limit) {
      std::string shown = slurp(untilFile);
      if (!failText.empty() && shown.find(failText) != std::string::npos) {
        std::fprintf(stderr, "trellisant-bench-measure: %s shows \"%s\": %s\n",
                     untilFile.c_str(), failText.c_str(), shown.c_str());
        break;
      }
      if (shown.find(untilText) != std::string::npos) {
        wall = seconds(Clock::now() - started);
        seen = procUsage(child);
        reached = true;
        break;
      }
      if (waitpid(child, &status, WNOHANG) == child) {
        std::fprintf(stderr, "trellisant-bench-measure: the command ended before \"%s\"\n",
                     untilText.c_str());
        return 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (reached && sample > 0) {
      std::this_thread::sleep_for(std::chrono::duration<double>(sample));
      Usage later = procUsage(child);
      idle = (later.user + later.sys) - (seen.user + seen.sys);
    }
    kill(child, SIGTERM);
    wait4(child, &status, 0, &finalUsage);
    if (!reached) {
      std::fprintf(stderr, "trellisant-bench-measure: no \"%s\" in %s\n", untilText.c_str(),
                   untilFile.c_str());
      return 1;
    }
  } else {
    wait4(child, &status, 0, &finalUsage);
    wall = seconds(Clock::now() - started);
    seen.user = static_cast<double>(finalUsage.ru_utime.tv_sec) + finalUsage.ru_utime.tv_usec / 1e6;
    seen.sys = static_cast<double>(finalUsage.ru_stime.tv_sec) + finalUsage.ru_stime.tv_usec / 1e6;
    seen.rssKib = finalUsage.ru_maxrss;
  }
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  std::printf("wall=%.3f cpu=%.3f user=%.3f sys=%.3f rss_kib=%ld status=%d", wall,
              seen.user + seen.sys, seen.user, seen.sys, seen.rssKib, code);
  if (idle >= 0) std::printf(" idle_cpu=%.3f", idle);
  std::printf("\n");
  // With --until the command is stopped on purpose, so its own status does not count.
  return untilFile.empty() ? code : 0;
}

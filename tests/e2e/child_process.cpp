#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

#include "fileio.h"

extern char** environ;

namespace trellisant::e2e {
namespace {

int exitStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

}  // namespace

Child Child::start(const std::vector<std::string>& argv, const std::filesystem::path& log, bool input) {
  int pipeFds[2] = {-1, -1};
  if (input && ::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (input) {
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  Child child;
  int error = ::posix_spawn(&child.pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (input) ::close(pipeFds[0]);
  if (error != 0) {
    if (input) ::close(pipeFds[1]);
    child.pid_ = -1;
    throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
  }
  child.input_ = input ? pipeFds[1] : -1;
  return child;
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      input_(std::exchange(other.input_, -1)),
      status_(std::exchange(other.status_, std::nullopt)) {}

Child& Child::operator=(Child&& other) noexcept {
  if (this != &other) {
    release();
    pid_ = std::exchange(other.pid_, -1);
    input_ = std::exchange(other.input_, -1);
    status_ = std::exchange(other.status_, std::nullopt);
  }
  return *this;
}

Child::~Child() {
  release();
}

void Child::release() {
  closeInput();
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
}

bool Child::running() {
  if (pid_ <= 0 || status_) return false;
  int raw = 0;
  pid_t done = ::waitpid(pid_, &raw, WNOHANG);
  if (done == pid_) status_ = exitStatus(raw);
  return !status_;
}

void Child::send(std::string_view text) {
  while (!text.empty() && input_ >= 0) {
    ssize_t n = ::write(input_, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the child's input is closed");
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Child::closeInput() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void Child::signal(int number) {
  if (running()) ::kill(pid_, number);
}

std::optional<int> Child::wait(std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return status_;
}

Output run(const std::vector<std::string>& argv, const std::filesystem::path& logs,
           std::chrono::seconds limit) {
  static std::atomic<int> counter{0};
  std::filesystem::create_directories(logs);
  auto base = logs / ("run-" + std::to_string(++counter));
  auto outFile = base.string() + ".out", errFile = base.string() + ".err";

  int outFd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int errFd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, 1);
  posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int error = ::posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(outFd);
  ::close(errFd);
  if (error != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));

  Output output;
  auto deadline = std::chrono::steady_clock::now() + limit;
  int raw = 0;
  while (true) {
    pid_t done = ::waitpid(pid, &raw, WNOHANG);
    if (done == pid) {
      output.status = exitStatus(raw);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &raw, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  output.out = readFile(outFile).value_or("");
  output.err = readFile(errFile).value_or("");
  return output;
}

}  // namespace trellisant::e2e

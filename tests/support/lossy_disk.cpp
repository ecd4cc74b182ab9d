#include "lossy_disk.h"

#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <thread>

namespace trellisant::testing {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct LossyDisk::Impl {
  fs::path mountPoint;
  pid_t server = -1;
  UniqueFd channel;  // one line a command, one line an answer

  // Sends one command (unless empty), returns the server's one-line answer.
  std::string ask(std::string command) {
    std::string answer;
    command += '\n';
    if (command.size() == 1 ||
        ::send(channel.get(), command.data(), command.size(), MSG_NOSIGNAL) > 0)
      for (char c = 0; ::read(channel.get(), &c, 1) == 1 && c != '\n';) answer += c;
    if (answer.empty()) throw std::runtime_error("the lossy disk's server is gone");
    return answer;
  }

  // Closing the channel makes the server unmount and end; it is killed if it cannot.
  ~Impl() {
    channel.reset();
    for (int waited = 0; server > 0 && waited < 200; ++waited, std::this_thread::sleep_for(50ms))
      if (::waitpid(server, nullptr, WNOHANG) == server) return;
    if (server > 0 && ::kill(server, SIGKILL) == 0) ::waitpid(server, nullptr, 0);
  }
};

LossyDisk::LossyDisk(fs::path backing, fs::path mountPoint, Names names)
    : impl_(std::make_unique<Impl>()) {
  impl_->mountPoint = std::move(mountPoint);
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
    throw std::runtime_error("socketpair");
  impl_->channel = UniqueFd(pair[0]);
  UniqueFd theirs(pair[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 0);
  posix_spawn_file_actions_adddup2(&actions, pair[1], 1);
  std::string args[] = {TRELLISANT_LOSSY_DISK_SERVER, backing.string(), impl_->mountPoint.string(),
                        names == Names::strict ? "strict" : "simple"};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(), nullptr};
  int failed = ::posix_spawn(&impl_->server, argv[0], &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) throw std::runtime_error("cannot start " + args[0]);
  theirs.reset();
  std::string ready = impl_->ask("");
  if (ready != "ready")
    throw Unavailable(ready.starts_with("unavailable ") ? ready.substr(12) : ready);
}

LossyDisk::~LossyDisk() = default;

bool LossyDisk::privateMounts() {
  return ::unshare(CLONE_NEWNS) == 0 &&
         ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

const fs::path& LossyDisk::mountPoint() const {
  return impl_->mountPoint;
}

void LossyDisk::arm(Trap trap) {
  impl_->ask("arm " + std::to_string(static_cast<int>(trap.event)) + " " +
             std::to_string(trap.skip) + " " + trap.marker);
}

std::optional<std::string> LossyDisk::waitForHold(std::chrono::milliseconds limit) {
  std::string answer = impl_->ask("wait " + std::to_string(limit.count()));
  return answer.starts_with("held ") ? std::optional(answer.substr(5)) : std::nullopt;
}

void LossyDisk::release() {
  impl_->ask("release");
}

void LossyDisk::powerCut(std::mt19937_64* tear) {
  impl_->ask("cut " + std::string(tear ? "1 " : "0 ") + std::to_string(tear ? (*tear)() : 0));
}

void LossyDisk::remount() {
  impl_->ask("remount");
}

LossyDisk::Figures LossyDisk::figures() const {
  Figures f;
  std::istringstream(impl_->ask("figures").substr(8)) >> f.bytesDropped >> f.bytesTorn >>
      f.namesUndone >> f.undoFailures;
  return f;
}

std::unique_ptr<LossyDisk> lossyDiskForTest(const fs::path& folder, std::string& why) {
  try {
    if (!LossyDisk::privateMounts()) throw LossyDisk::Unavailable("no mount namespace of our own");
    return std::make_unique<LossyDisk>(folder / "backing", folder / "disk",
                                       LossyDisk::Names::strict);
  } catch (const LossyDisk::Unavailable& error) {
    why = error.what();
    return nullptr;
  }
}

}  // namespace trellisant::testing

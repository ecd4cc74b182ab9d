#include "control/agent_service.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "control/agent_status.h"
#include "clock.h"
#include "digest.h"
#include "fileio.h"
#include "local_socket.h"
#include "program.h"
#include "settings/paths.h"
#include "unique_fd.h"

// glibc before 2.39 lacks the constant; on these architectures the kernel takes the
// asm-generic value. Kernels before 6.5 answer ENOPROTOOPT and we fall back to pidfd_open.
#if !defined(SO_PEERPIDFD) && (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || \
                               defined(__arm__) || defined(__riscv) || defined(__loongarch__))
#define SO_PEERPIDFD 77
#endif

namespace trellisant {
namespace {

// A pidfd that pins the peer process, so that its pid cannot be reused behind our back.
int peerPidfd(int connection, pid_t pid) {
#ifdef SO_PEERPIDFD
  int fd = -1;
  socklen_t length = sizeof fd;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERPIDFD, &fd, &length) == 0 && fd >= 0) return fd;
#else
  (void)connection;
#endif
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// A pidfd becomes readable when its process exits.
bool stillRunning(int pidfd) {
  pollfd entry{pidfd, POLLIN, 0};
  int result;
  do {
    result = ::poll(&entry, 1, 0);
  } while (result < 0 && errno == EINTR);
  return result == 0;
}

std::string statusReply() {
  AgentStatus status = AgentStatus::load();
  try {
    return status.toJson().dump();
  } catch (...) {
    return {};  // the app keeps its previous status
  }
}

}  // namespace

AgentService::AgentService(std::filesystem::path socketPath,
                           std::optional<std::filesystem::path> appExecutable,
                           std::chrono::milliseconds requestTimeout)
    : socketPath_(std::move(socketPath)), requestTimeout_(requestTimeout) {
  try {
    auto app = appExecutable ? *appExecutable : besideSelf(kAppProgram);
    // Computed once: an app replaced later is refused until the agent restarts.
    if (!app.empty()) appHash_ = sha256HexOfFile(app);
  } catch (...) {
    appHash_.reset();
  }
  try {
    listen();
    if (listenFd_ >= 0) thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
  } catch (...) {
    // No thread: nobody is answered, and the destructor cleans up what listen() made.
  }
}

AgentService::~AgentService() {
  if (thread_.joinable()) {
    thread_.request_stop();
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
  }
  if (listenFd_ >= 0) {
    ::close(listenFd_);
    // Another agent may have replaced our socket since; its socket is not ours to remove.
    struct stat info {};
    if (::lstat(socketPath_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode) &&
        info.st_dev == socketDevice_ && info.st_ino == socketInode_)
      ::unlink(socketPath_.c_str());
  }
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void AgentService::listen() {
  auto address = local_socket::address(socketPath_);
  if (!address) return;
  const std::string& path = socketPath_.native();
  makeFolders(socketPath_.parent_path());
  struct stat existing {};
  if (::lstat(path.c_str(), &existing) == 0) {
    // A socket left by an agent that died; anything else there is not ours to delete.
    if (!S_ISSOCK(existing.st_mode)) return;
    ::unlink(path.c_str());
  }

  int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake < 0) return;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    ::close(wake);
    return;
  }
  // Linux gives the socket file the socket inode's mode at bind, so it is never wider.
  ::fchmod(fd, 0600);
  struct stat bound {};
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    ::close(fd);
    ::close(wake);
    return;
  }
  if (::chmod(path.c_str(), 0600) != 0 || ::lstat(path.c_str(), &bound) != 0 ||
      ::listen(fd, 16) != 0) {
    ::close(fd);
    ::close(wake);
    ::unlink(path.c_str());
    return;
  }
  socketDevice_ = bound.st_dev;
  socketInode_ = bound.st_ino;
  listenFd_ = fd;
  wakeFd_ = wake;
}

void AgentService::serve(std::stop_token stop) {
  while (!stop.stop_requested()) {
    pollfd entries[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (::poll(entries, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (entries[1].revents != 0) return;
    int connection = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (connection < 0) {
      // Out of descriptors: wait a moment rather than spin on a listener that stays readable.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        sleepFor(std::chrono::milliseconds(100), stop);
      continue;
    }
    UniqueFd owned(connection);
    try {
      answer(connection, stop);
    } catch (...) {
      // A failed answer only ends this connection.
    }
  }
}

void AgentService::answer(int connection, std::stop_token stop) const {
  if (!peerAllowed(connection, stop)) return;

  auto deadline = [this] { return std::chrono::steady_clock::now() + requestTimeout_; };
  auto request = local_socket::receive(connection, 64, '\n', deadline(), wakeFd_);
  if (!request || request->substr(0, request->find('\n')) != kStatusRequest) return;
  local_socket::sendAll(connection, statusReply(), deadline(), wakeFd_);
}

bool AgentService::peerAllowed(int connection, std::stop_token stop) const {
  if (!appHash_) return false;
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) return false;
  if (peer.uid != ::getuid() || peer.pid <= 0) return false;

  UniqueFd pidfd(peerPidfd(connection, peer.pid));
  if (pidfd.get() < 0) return false;
  auto hash = sha256HexOfFile("/proc/" + std::to_string(peer.pid) + "/exe", stop);
  // Checked after reading the executable: had the peer exited, its pid could now name another
  // process, whose executable we might just have read.
  if (!hash || !stillRunning(pidfd.get())) return false;
  return *hash == *appHash_;
}

}  // namespace trellisant

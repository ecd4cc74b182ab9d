#include "control/status_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace trellisant {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A status record is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kLargestReply = 1 << 20;

bool await(int fd, short events, SteadyClock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    if (left.count() <= 0) return false;
    pollfd entry{fd, events, 0};
    int result = ::poll(&entry, 1, static_cast<int>(left.count()));
    if (result < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (result > 0) return true;
  }
}

bool connectBefore(int fd, const sockaddr_un& address, SteadyClock::time_point deadline) {
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    // A full backlog makes a Unix socket answer EAGAIN; try again while time remains.
    if (errno != EAGAIN && errno != EINTR) return false;
    if (SteadyClock::now() >= deadline) return false;
    ::usleep(10'000);
  }
}

bool sendAll(int fd, std::string_view bytes, SteadyClock::time_point deadline) {
  while (!bytes.empty()) {
    if (!await(fd, POLLOUT, deadline)) return false;
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> receiveAll(int fd, SteadyClock::time_point deadline) {
  std::string reply;
  char buffer[4096];
  for (;;) {
    if (!await(fd, POLLIN, deadline)) return std::nullopt;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    if (n == 0) return reply;
    reply.append(buffer, static_cast<std::size_t>(n));
    if (reply.size() > kLargestReply) return std::nullopt;
  }
}

}  // namespace

std::optional<AgentStatus> requestAgentStatus(const std::filesystem::path& socketPath,
                                              std::chrono::milliseconds timeout) {
  try {
    auto deadline = SteadyClock::now() + timeout;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& path = socketPath.native();
    if (path.empty() || path.size() >= sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection || !connectBefore(connection.get(), address, deadline) ||
        !sendAll(connection.get(), "status\n", deadline))
      return std::nullopt;
    auto reply = receiveAll(connection.get(), deadline);
    if (!reply) return std::nullopt;
    return decodeAgentStatus(*reply);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace trellisant

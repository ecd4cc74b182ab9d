#include "control/status_client.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>

#include "local_socket.h"
#include "unique_fd.h"

namespace trellisant {
namespace {

using SteadyClock = std::chrono::steady_clock;

// A status record is a few hundred bytes; anything far larger is not one.
constexpr std::size_t kLargestReply = 1 << 20;

bool connectBefore(int fd, const sockaddr_un& address, SteadyClock::time_point deadline) {
  for (;;) {
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return true;
    // A full backlog makes a Unix socket answer EAGAIN; try again while time remains.
    if (errno != EAGAIN && errno != EINTR) return false;
    if (SteadyClock::now() >= deadline) return false;
    ::usleep(10'000);
  }
}

}  // namespace

std::optional<AgentStatus> requestAgentStatus(const std::filesystem::path& socketPath,
                                              std::chrono::milliseconds timeout) {
  try {
    auto deadline = SteadyClock::now() + timeout;
    auto address = local_socket::address(socketPath);
    if (!address) return std::nullopt;
    UniqueFd connection(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!connection || !connectBefore(connection.get(), *address, deadline) ||
        !local_socket::sendAll(connection.get(), std::string(kStatusRequest) + "\n", deadline))
      return std::nullopt;
    auto reply = local_socket::receive(connection.get(), kLargestReply, std::nullopt, deadline);
    if (!reply) return std::nullopt;
    return decodeAgentStatus(*reply);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace trellisant

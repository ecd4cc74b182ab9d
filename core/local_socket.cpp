#include "local_socket.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace trellisant::local_socket {

std::optional<sockaddr_un> address(const std::filesystem::path& path) {
  sockaddr_un out{};
  out.sun_family = AF_UNIX;
  const std::string& text = path.native();
  if (text.empty() || text.size() >= sizeof out.sun_path) return std::nullopt;
  std::memcpy(out.sun_path, text.c_str(), text.size() + 1);
  return out;
}

bool await(int fd, short events, Deadline deadline, int wake) {
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd entries[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    int result = ::poll(entries, 2, static_cast<int>(left.count()));
    if (result < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (entries[1].revents != 0) return false;
    if (entries[0].revents != 0) return true;
  }
}

bool sendAll(int fd, std::string_view bytes, Deadline deadline, int wake) {
  while (!bytes.empty()) {
    if (!await(fd, POLLOUT, deadline, wake)) return false;
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> receive(int fd, std::size_t largest, std::optional<char> end,
                                   Deadline deadline, int wake) {
  std::string received;
  char buffer[4096];
  while (!end || received.find(*end) == std::string::npos) {
    if (received.size() > largest || !await(fd, POLLIN, deadline, wake)) return std::nullopt;
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    received.append(buffer, static_cast<std::size_t>(n));
  }
  if (!end && received.size() > largest) return std::nullopt;
  return received;
}

}  // namespace trellisant::local_socket

#include "loopback_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <stdexcept>

namespace trellisant::testing {
namespace {

bool writeAll(int fd, std::string_view bytes) {
  for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n)))
    if ((n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
  return true;
}

// A connection to "host:port"; -1 when none can be made.
int connectTo(const std::string& target) {
  auto colon = target.rfind(':');
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (colon == std::string::npos || ::getaddrinfo(target.substr(0, colon).c_str(),
                                                  target.substr(colon + 1).c_str(), &hints, &found))
    return -1;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) fd = (::close(fd), -1);
  }
  ::freeaddrinfo(found);
  return fd;
}

}  // namespace

ConnectProxy::ConnectProxy() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_.get(), 16) != 0 ||
      ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot listen on loopback");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::jthread([this] {
    for (;;) {
      UniqueFd fd(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      if (!fd) continue;
      open_.push_back(fd.get());
      connections_.emplace_back([this, fd = std::move(fd)] {
        serve(fd.get());
        std::lock_guard done(mutex_);
        std::erase(open_, fd.get());
      });
    }
  });
}

ConnectProxy::~ConnectProxy() {
  std::lock_guard lock(mutex_);
  stopping_ = true;
  for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  ::shutdown(listener_.get(), SHUT_RDWR);  // ends the acceptor's accept()
}

void ConnectProxy::serve(int client) {
  std::string head;
  for (char c = 0; head.size() < 16 * 1024 && !head.ends_with("\r\n\r\n"); head.push_back(c))
    if (::read(client, &c, 1) != 1) return;
  if (!head.starts_with("CONNECT ")) return;
  std::string target = head.substr(8, head.find(' ', 8) - 8);
  {
    std::lock_guard lock(mutex_);
    targets_.push_back(target);
  }
  UniqueFd upstream(connectTo(target));
  if (!upstream || !writeAll(client, "HTTP/1.1 200 Connection established\r\n\r\n")) return;
  // Copies bytes both ways until either side closes.
  pollfd fds[2] = {{client, POLLIN, 0}, {upstream.get(), POLLIN, 0}};
  char buffer[64 * 1024];
  while (::poll(fds, 2, -1) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n <= 0 || !writeAll(fds[1 - i].fd, std::string_view(buffer, static_cast<std::size_t>(n))))
        return;
    }
  }
}

}  // namespace trellisant::testing

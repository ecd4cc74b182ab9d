#include "loopback_server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "unique_fd.h"

namespace trellisant::testing {

LoopbackServer::LoopbackServer(Serve serve) : serve_(std::move(serve)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    if (listener_ >= 0) ::close(listener_);
    throw std::runtime_error("cannot listen on loopback");
  }
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept(); });
}

LoopbackServer::~LoopbackServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  ::shutdown(listener_, SHUT_RDWR);  // ends the acceptor's accept()
  acceptor_.join();
  for (auto& connection : connections_) connection.join();
  ::close(listener_);
}

void LoopbackServer::accept() {
  for (;;) {
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard lock(mutex_);
    if (stopping_) {
      if (fd >= 0) ::close(fd);
      return;
    }
    if (fd < 0) continue;
    open_.push_back(fd);
    connections_.emplace_back([this, fd] {
      serve_(fd);
      std::lock_guard done(mutex_);
      std::erase(open_, fd);
      ::close(fd);
    });
  }
}

std::string readHead(int fd) {
  std::string head;
  char c = 0;
  while (head.size() < 16 * 1024 && !head.ends_with("\r\n\r\n")) {
    if (::read(fd, &c, 1) != 1) return "";
    head.push_back(c);
  }
  return head;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

namespace {

int connectTo(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return -1;
  int fd = -1;
  for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
    fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd >= 0 && ::connect(fd, a->ai_addr, a->ai_addrlen) != 0) fd = (::close(fd), -1);
  }
  ::freeaddrinfo(found);
  return fd;
}

// Copies bytes both ways until either side closes.
void relay(int a, int b) {
  pollfd fds[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
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

}  // namespace

ConnectProxy::ConnectProxy() : server_([this](int client) { serve(client); }) {}

std::vector<std::string> ConnectProxy::targets() const {
  std::lock_guard lock(mutex_);
  return targets_;
}

void ConnectProxy::serve(int client) {
  // Anything but a CONNECT to a reachable target is answered by closing the connection.
  std::string head = readHead(client);
  if (!head.starts_with("CONNECT ")) return;
  std::string target = head.substr(8, head.find(' ', 8) - 8);
  {
    std::lock_guard lock(mutex_);
    targets_.push_back(target);
  }
  auto colon = target.rfind(':');
  UniqueFd upstream(colon == std::string::npos
                        ? -1
                        : connectTo(target.substr(0, colon), target.substr(colon + 1)));
  if (upstream && writeAll(client, "HTTP/1.1 200 Connection established\r\n\r\n"))
    relay(client, upstream.get());
}

}  // namespace trellisant::testing

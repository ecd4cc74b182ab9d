// trellisant-bench-relay: a TCP relay that gives loopback a network's round trip, where the
// kernel has no netem. Every byte is passed on half a round trip after it arrived, in both
// directions, and a new connection's first bytes wait one round trip more, as the TCP
// handshake makes them wait on a real network (the relay itself answers the handshake at once).
//
//   trellisant-bench-relay --rtt MS --listen ADDRESS:PORT --to ADDRESS:PORT [--ready FILE]
//
// It relays until it is killed. Nothing limits the bandwidth: the relay acknowledges bytes as
// it takes them, so only the latency of each exchange is added, not a window's.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in addressOf(const std::string& text) {
  auto colon = text.rfind(':');
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)));
  if (colon == std::string::npos ||
      ::inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) != 1) {
    std::cerr << "trellisant-bench-relay: not an address: " << text << "\n";
    std::exit(2);
  }
  return address;
}

void noDelay(int fd) {
  int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One direction: a reader stamps each piece with the time it may go on, a writer sends it then.
class Pipe {
 public:
  Pipe(int from, int to, Clock::duration delay, Clock::time_point earliest)
      : from_(from), to_(to), delay_(delay), earliest_(earliest) {}
  void run() {
    std::thread writer([this] { send(); });
    std::vector<char> buffer(256 * 1024);
    for (;;) {
      ssize_t count = ::read(from_, buffer.data(), buffer.size());
      auto due = std::max(Clock::now() + delay_, earliest_);
      std::lock_guard lock(mutex_);
      if (count <= 0) {
        pieces_.push_back({due, {}});  // the end, passed on as a half close
        changed_.notify_one();
        break;
      }
      pieces_.push_back({due, std::string(buffer.data(), static_cast<std::size_t>(count))});
      changed_.notify_one();
    }
    writer.join();
  }

 private:
  struct Piece {
    Clock::time_point due;
    std::string bytes;
  };
  void send() {
    for (;;) {
      Piece piece;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !pieces_.empty(); });
        piece = std::move(pieces_.front());
        pieces_.pop_front();
      }
      std::this_thread::sleep_until(piece.due);
      if (piece.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      for (std::size_t done = 0; done < piece.bytes.size();) {
        ssize_t count = ::send(to_, piece.bytes.data() + done, piece.bytes.size() - done, MSG_NOSIGNAL);
        if (count <= 0) {
          ::shutdown(from_, SHUT_RDWR);  // the reader stops; its end marker follows
          break;
        }
        done += static_cast<std::size_t>(count);
      }
    }
  }

  int from_, to_;
  Clock::duration delay_;
  Clock::time_point earliest_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Piece> pieces_;
};

void relay(int client, sockaddr_in target, Clock::duration rtt) {
  auto accepted = Clock::now();
  int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (server < 0 || ::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0) {
    ::close(client);
    if (server >= 0) ::close(server);
    return;
  }
  noDelay(client);
  noDelay(server);
  Pipe up(client, server, rtt / 2, accepted + rtt + rtt / 2);
  Pipe down(server, client, rtt / 2, accepted);
  std::thread upward([&] { up.run(); });
  down.run();
  upward.join();
  ::close(client);
  ::close(server);
}

}  // namespace

int main(int argc, char** argv) {
  std::string listenText, targetText, ready;
  double rttMs = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--rtt") rttMs = std::atof(argv[i + 1]);
    else if (arg == "--listen") listenText = argv[i + 1];
    else if (arg == "--to") targetText = argv[i + 1];
    else if (arg == "--ready") ready = argv[i + 1];
  }
  if (rttMs < 0 || listenText.empty() || targetText.empty()) {
    std::cerr << "usage: trellisant-bench-relay --rtt MS --listen ADDRESS:PORT --to ADDRESS:PORT "
                 "[--ready FILE]\n";
    return 2;
  }
  auto rtt = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(rttMs));
  sockaddr_in listenAddress = addressOf(listenText), target = addressOf(targetText);
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&listenAddress), sizeof listenAddress) != 0 ||
      ::listen(listener, 128) != 0) {
    std::perror("trellisant-bench-relay: listen");
    return 1;
  }
  if (!ready.empty()) std::ofstream(ready) << "ready\n";
  for (;;) {
    int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client >= 0) std::thread(relay, client, target, rtt).detach();
  }
}

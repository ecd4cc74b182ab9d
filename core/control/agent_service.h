#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "settings/paths.h"

namespace trellisant {

// The agent's control service: answers the app's "status" request on a Unix socket with the
// JSON of status.json (or the fallback record). Only a process of the same user whose
// executable has exactly the bytes of the app executable is answered; everyone else is
// disconnected without a reply.
//
// Creating it starts listening on its own thread; destroying it stops that thread and removes
// the socket. It never throws: when something fails it refuses everyone or does not listen.
class AgentService {
 public:
  explicit AgentService(std::filesystem::path socketPath = Paths::controlSocket(),
                        std::optional<std::filesystem::path> appExecutable = std::nullopt,
                        std::chrono::milliseconds requestTimeout = std::chrono::seconds(2));
  ~AgentService();
  AgentService(const AgentService&) = delete;
  AgentService& operator=(const AgentService&) = delete;

  bool listening() const { return listenFd_ >= 0; }

 private:
  void listen();
  void serve(std::stop_token stop);
  void answer(int connection, std::stop_token stop) const;
  bool peerAllowed(int connection, std::stop_token stop) const;

  std::filesystem::path socketPath_;
  std::optional<std::string> appHash_;  // absent: refuse everyone
  std::chrono::milliseconds requestTimeout_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;
  std::jthread thread_;
};

}  // namespace trellisant

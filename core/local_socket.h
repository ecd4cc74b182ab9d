#pragma once

#include <sys/un.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

// The waits of our Unix-socket conversations (the agent's control socket): every one bounded
// by a deadline and, for a server, ended at once by its wake descriptor.
namespace trellisant::local_socket {

using Deadline = std::chrono::steady_clock::time_point;

// The address of the socket at `path`; nothing when the path is empty or too long for one.
std::optional<sockaddr_un> address(const std::filesystem::path& path);

// Waits until `fd` is ready for `events`; hang-ups and errors count as ready (the next read or
// write reports them). False at the deadline, when poll fails, or when `wake` (-1: none)
// becomes readable.
bool await(int fd, short events, Deadline deadline, int wake = -1);

// Sends every byte; false when the deadline, the wake or a failure comes first.
bool sendAll(int fd, std::string_view bytes, Deadline deadline, int wake = -1);

// Reads until the peer closes, or up to and including the first `end` when one is given;
// nothing when more than `largest` bytes come first, or the deadline, the wake or a failure.
std::optional<std::string> receive(int fd, std::size_t largest, std::optional<char> end,
                                   Deadline deadline, int wake = -1);

}  // namespace trellisant::local_socket

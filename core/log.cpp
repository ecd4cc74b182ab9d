#include "log.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>

namespace trellisant {

void writeLogLine(std::string_view program, std::string_view line) {
  std::string text(program);
  text += ": ";
  for (char c : line) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      text += c;
      continue;
    }
    char escaped[5];
    std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
    text += escaped;
  }
  text += '\n';

  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::string_view left = text;
  while (!left.empty()) {
    ssize_t n = ::write(STDERR_FILENO, left.data(), left.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to log to; the program goes on without
    left.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace trellisant

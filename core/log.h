#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string_view>

namespace trellisant {

// Takes one log line, without its program name and line break.
using LogSink = std::function<void(std::string_view line)>;

// Writes "PROGRAM: LINE\n" to standard error in one piece, so lines of several threads never
// mix. No timestamp: the user manager's journal stamps every line. Control characters (a name
// from the server may hold a line break) are written as \xNN, so one call is one line.
void writeLogLine(std::string_view program, std::string_view line);

// A log of its own for a program whose standard error leads nowhere: "TIME PROGRAM: LINE"
// lines (UTC, control characters as in writeLogLine), mode 0600 in a 0700 folder. A line that
// would take the file past `cap` bytes first moves it to NAME.1, replacing the one before, so
// the two together stay under twice the cap. Lines that cannot be written are dropped.
class CappedLogFile {
 public:
  static constexpr std::uintmax_t defaultCap = 1024 * 1024;
  explicit CappedLogFile(std::filesystem::path file, std::uintmax_t cap = defaultCap);
  void write(std::string_view program, std::string_view line);

 private:
  std::filesystem::path file_;
  std::uintmax_t cap_;
  std::mutex mutex_;
};

// Where a background program's lines go: standard error when anything reads it (a terminal,
// or the user manager, which hands it to the journal); when it is /dev/null or closed (the
// detached start of the autostart fallback), the journal under the identifier PROGRAM, or
// `fallback` (Paths::logFile(PROGRAM)) for each line the journal does not take (none reachable).
LogSink backgroundLog(std::string_view program, const std::filesystem::path& fallback);

}  // namespace trellisant

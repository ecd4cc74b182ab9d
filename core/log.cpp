#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "fileio.h"

namespace trellisant {
namespace {

std::string escaped(std::string_view line) {
  std::string text;
  for (char c : line) {
    auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7f) {
      text += c;
      continue;
    }
    char code[5];
    std::snprintf(code, sizeof code, "\\x%02x", byte);
    text += code;
  }
  return text;
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

// Standard error is /dev/null (the character device 1:3) or not open at all.
bool standardErrorLeadsNowhere() {
  struct stat info {};
  if (::fstat(STDERR_FILENO, &info) != 0) return true;
  return S_ISCHR(info.st_mode) && major(info.st_rdev) == 1 && minor(info.st_rdev) == 3;
}

// sd_journal_send reports success when no journal listens at all, so look for its socket first.
bool journalListens() {
  struct stat info {};
  return ::stat("/run/systemd/journal/socket", &info) == 0 && S_ISSOCK(info.st_mode);
}

}  // namespace

void writeLogLine(std::string_view program, std::string_view line) {
  std::string text = std::string(program) + ": " + escaped(line) + "\n";
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  writeAll(STDERR_FILENO, text);  // nowhere to log to; the program goes on without
}

CappedLogFile::CappedLogFile(std::filesystem::path file, std::uintmax_t cap)
    : file_(std::move(file)), cap_(cap) {}

void CappedLogFile::write(std::string_view program, std::string_view line) {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  char stamp[32] = "";
  if (::gmtime_r(&now, &utc) != nullptr) std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  std::string text = std::string(stamp) + " " + std::string(program) + ": " + escaped(line) + "\n";

  std::lock_guard lock(mutex_);
  privateFolder(file_.parent_path());
  struct stat info {};
  if (::stat(file_.c_str(), &info) == 0 && static_cast<std::uintmax_t>(info.st_size) + text.size() > cap_)
    ::rename(file_.c_str(), (file_.string() + ".1").c_str());
  int fd = ::open(file_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  ::fchmod(fd, 0600);  // a file made before, by hand say, becomes private too
  writeAll(fd, text);
  ::close(fd);
}

LogSink backgroundLog(std::string_view program, const std::filesystem::path& fallback) {
  std::string name(program);
  if (!standardErrorLeadsNowhere())
    return [name](std::string_view line) { writeLogLine(name, line); };
  auto file = std::make_shared<CappedLogFile>(fallback);
  return [name, file](std::string_view line) {
    std::string text = escaped(line);
    if (!journalListens() || sd_journal_send("MESSAGE=%s", text.c_str(), "SYSLOG_IDENTIFIER=%s",
                                             name.c_str(), "PRIORITY=6", nullptr) < 0)
      file->write(name, line);
  };
}

}  // namespace trellisant

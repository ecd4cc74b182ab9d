#include "fileio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "error.h"
#include "unique_fd.h"

namespace trellisant {

std::optional<std::string> readFile(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  return readAll(fd.get());
}

std::optional<std::string> readAll(int fd) {
  std::string content;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) return content;
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

void writeAtomically(const std::filesystem::path& path, std::string_view bytes, mode_t mode) {
  auto folder = path.parent_path();
  if (folder.empty()) folder = ".";
  std::string temp = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = ::mkstemp(temp.data());
  if (fd < 0) throw systemError(errno);
  auto fail = [&](int error) {
    ::close(fd);
    ::unlink(temp.c_str());
    throw systemError(error);
  };
  const char* data = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, data, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  if (::fchmod(fd, mode) != 0) fail(errno);
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    throw systemError(error);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int error = errno;
    ::unlink(temp.c_str());
    throw systemError(error);
  }
  syncFolder(folder);
}

bool syncFolder(const std::filesystem::path& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool synced = ::fsync(fd) == 0;
  ::close(fd);
  return synced;
}


void makeFolders(const std::filesystem::path& path) {
  std::filesystem::path partial;
  for (const auto& piece : path) {
    std::filesystem::path parent = partial;
    partial /= piece;
    if (::mkdir(partial.c_str(), 0700) == 0) {
      ::chmod(partial.c_str(), 0700);
      syncFolder(parent);
    }
  }
}

std::filesystem::path privateFolder(const std::filesystem::path& folder) {
  makeFolders(folder);
  ::chmod(folder.c_str(), 0700);
  return folder;
}

}  // namespace trellisant

#include "receipt/history.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "digest.h"
#include "download/file_safety.h"
#include "error.h"
#include "fileio.h"
#include "receipt/media_hash.h"
#include "unique_fd.h"

namespace trellisant {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr const char* kUnreadable = "The media hash list in this folder cannot be read.";
constexpr const char* kAltered = "The media hash list in this folder was changed after it was written.";
// Our own temporary files in ascmhl/; a name a delivery's file cannot take (partial-shaped).
constexpr std::string_view kTempPrefix = ".trellisant-receipt-";
constexpr std::string_view kTempSuffix = ".partial";

std::optional<std::string> readAt(int folder, const std::string& name) {
  UniqueFd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return readAll(fd.get());
}

std::vector<std::string> namesIn(int folder) {
  std::vector<std::string> names;
  DIR* dir = ::fdopendir(::dup(folder));
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
  ::closedir(dir);
  return names;
}

bool ourTemp(std::string_view name) { return name.starts_with(kTempPrefix) && name.ends_with(kTempSuffix); }

// A new temporary file holding `bytes`, synced. Throws PlatformError.
std::string writeTemp(int folder, std::string_view bytes) {
  for (int attempt = 0;; ++attempt) {
    std::string name = std::string(kTempPrefix) + std::to_string(::getpid()) + "-" + std::to_string(attempt) +
                       std::string(kTempSuffix);
    UniqueFd fd(::openat(folder, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd && errno == EEXIST) continue;
    if (!fd) throw systemError(errno);
    for (std::size_t done = 0; done < bytes.size();) {
      ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        int error = errno;
        ::unlinkat(folder, name.c_str(), 0);
        throw systemError(error);
      }
      done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) {
      int error = errno;
      ::unlinkat(folder, name.c_str(), 0);
      throw systemError(error);
    }
    return name;
  }
}

}  // namespace

MhlHistory MhlHistory::read(int folder) {
  MhlHistory history;
  const std::string ascmhl(Mhl::kFolder);
  UniqueFd dir(::openat(folder, ascmhl.c_str(), kFolderFlags));
  if (!dir) {
    if (errno == ENOENT) return history;
    throw TrellisantError(kUnreadable);
  }
  for (const std::string& name : namesIn(dir.get()))
    history.highest_ = std::max(history.highest_, Mhl::sequenceOf(name).value_or(0));
  auto chain = readAt(dir.get(), std::string(Mhl::kChainFile));
  if (!chain) {
    if (::faccessat(dir.get(), std::string(Mhl::kChainFile).c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0)
      throw TrellisantError(kUnreadable);
    return history;
  }
  auto entries = Mhl::parseChain(*chain);
  if (!entries) throw TrellisantError(kUnreadable);
  history.chainBytes_ = std::move(*chain);
  history.hasChain_ = true;
  history.chain_ = std::move(*entries);
  if (history.chain_.empty()) return history;
  for (const auto& entry : history.chain_) history.highest_ = std::max(history.highest_, entry.sequence);
  const auto& last = *std::max_element(history.chain_.begin(), history.chain_.end(),
                                       [](const auto& a, const auto& b) { return a.sequence < b.sequence; });
  auto bytes = readAt(dir.get(), last.path);
  if (!bytes) throw TrellisantError(kUnreadable);
  if (hashBytes(*bytes, {HashFormat::c4}).at(HashFormat::c4) != last.c4) throw TrellisantError(kAltered);
  history.newest_ = Mhl::parseManifest(*bytes);
  if (!history.newest_) throw TrellisantError(kUnreadable);
  history.newestName_ = last.path;
  return history;
}

std::string MhlHistory::append(int folder, const std::string& xml, std::string_view folderName,
                               std::string_view stamp) {
  const std::string ascmhl(Mhl::kFolder), chainName(Mhl::kChainFile);
  // A new folder's name is synced in its parent, or a power cut could take the receipt with it.
  if (::mkdirat(folder, ascmhl.c_str(), 0700) == 0) ::fsync(folder);
  UniqueFd dir(::openat(folder, ascmhl.c_str(), kFolderFlags));
  if (!dir) throw TrellisantError(kUnreadable);
  // What an interrupted write of ours left behind.
  for (const std::string& name : namesIn(dir.get()))
    if (ourTemp(name)) ::unlinkat(dir.get(), name.c_str(), 0);

  const std::string c4 = hashBytes(xml, {HashFormat::c4}).at(HashFormat::c4);
  std::string temp = writeTemp(dir.get(), xml);
  std::string name;
  for (std::int64_t sequence = highest_ + 1;; ++sequence) {
    name = Mhl::manifestName(sequence, folderName, stamp);
    if (FileSafety::renameExclusively(dir.get(), temp, name)) {
      highest_ = sequence;
      break;
    }
    if (errno != EEXIST) {
      int error = errno;
      ::unlinkat(dir.get(), temp.c_str(), 0);
      throw systemError(error);
    }
  }
  // The manifest's name is durable before the chain counts it.
  if (::fsync(dir.get()) != 0) throw systemError(errno);

  auto chain = Mhl::chainWith(hasChain_ ? chainBytes_ : "", {highest_, name, c4});
  if (!chain) throw TrellisantError(kUnreadable);
  temp = writeTemp(dir.get(), *chain);
  // The chain is the one file the format lets grow: replaced whole, its earlier bytes kept.
  bool moved = hasChain_ ? ::renameat(dir.get(), temp.c_str(), dir.get(), chainName.c_str()) == 0
                         : FileSafety::renameExclusively(dir.get(), temp, chainName);
  if (!moved) {
    int error = errno;
    ::unlinkat(dir.get(), temp.c_str(), 0);
    throw systemError(error);
  }
  if (::fsync(dir.get()) != 0) throw systemError(errno);
  chainBytes_ = std::move(*chain);
  hasChain_ = true;
  chain_.push_back({highest_, name, c4});
  return name;
}

}  // namespace trellisant

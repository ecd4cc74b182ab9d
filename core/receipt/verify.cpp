#include "receipt/verify.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <set>

#include "clock.h"
#include "download/file_safety.h"
#include "error.h"
#include "receipt/history.h"
#include "receipt/media_hash.h"
#include "text.h"
#include "unique_fd.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;

// Opens `path` below the folder for reading only, through every piece without following a
// link; an unsafe or absent path gives no descriptor.
UniqueFd openBelow(int folder, const std::string& path) {
  std::vector<std::string> pieces;
  try {
    pieces = FileSafety::components(path);
  } catch (const TrellisantError&) {
    return UniqueFd();
  }
  UniqueFd current(::dup(folder));
  for (std::size_t i = 0; current && i + 1 < pieces.size(); ++i)
    current = UniqueFd(::openat(current.get(), pieces[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!current) return current;
  return UniqueFd(::openat(current.get(), pieces.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
}

// Every entry below the folder that is not a folder, but the history's own.
std::set<std::string> present(const fs::path& folder) {
  std::set<std::string> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::string relative = it->path().lexically_relative(folder).generic_string();
    if (relative == Mhl::kFolder) {
      it.disable_recursion_pending();
      continue;
    }
    std::error_code kind;
    if (!fs::is_directory(it->symlink_status(kind))) files.insert(nfc(relative));
  }
  if (error) throw TrellisantError("This folder cannot be read.");
  return files;
}

}  // namespace

FolderCheck checkFolder(const fs::path& folder, const std::function<void(std::int64_t)>& progress,
                        std::stop_token stop) {
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir) throw TrellisantError("This folder cannot be read.");
  MhlHistory history = MhlHistory::read(dir.get());
  if (!history.newest()) throw TrellisantError("This folder has no media hash list.");
  FolderCheck check;
  check.manifest = history.newestName();
  std::set<std::string> onDisk = present(folder);
  std::set<std::string> listed;
  for (const auto& entry : history.newest()->files) {
    throwIfStopped(stop);
    const std::string path = nfc(entry.path);
    listed.insert(path);
    ++check.files;
    UniqueFd fd = openBelow(dir.get(), path);
    struct stat info {};
    if (!onDisk.count(path) || !fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
      check.missing.push_back(path);
      continue;
    }
    std::set<HashFormat> formats;
    for (const auto& hash : entry.hashes) formats.insert(hash.format);
    auto values = hashFile(fd.get(), formats, [&](std::int64_t bytes) {
      throwIfStopped(stop);
      check.bytes += bytes;
      if (progress) progress(bytes);
    });
    bool same = values && (entry.size < 0 || entry.size == info.st_size);
    for (const auto& hash : entry.hashes) same = same && values->at(hash.format) == hash.value;
    if (!same) check.changed.push_back(path);
  }
  for (const auto& path : onDisk)
    if (!listed.count(path)) check.unexpected.push_back(path);
  return check;
}

}  // namespace trellisant

#include "lossy_model.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace trellisant::testing {
namespace {

constexpr off_t kBlock = 4096;

off_t end(const std::pair<const off_t, std::string>& extent) {
  return extent.first + static_cast<off_t>(extent.second.size());
}

// Lays `bytes` at `offset` over the extents, merging every extent it overlaps or touches.
void lay(std::map<off_t, std::string>& extents, off_t offset, std::string_view bytes) {
  const off_t stop = offset + static_cast<off_t>(bytes.size());
  auto first = extents.upper_bound(offset);
  if (first != extents.begin() && end(*std::prev(first)) >= offset) --first;
  // The common case, a stream of writes: append to the extent that ends where this begins.
  if (first != extents.end() && end(*first) == offset && first->first < offset &&
      (std::next(first) == extents.end() || std::next(first)->first > stop)) {
    first->second.append(bytes);
    return;
  }
  off_t start = offset, last = stop;
  auto it = first;
  for (; it != extents.end() && it->first <= stop; ++it) {
    start = std::min(start, it->first);
    last = std::max(last, end(*it));
  }
  std::string merged(static_cast<std::size_t>(last - start), '\0');
  for (auto i = first; i != it; ++i) merged.replace(i->first - start, i->second.size(), i->second);
  merged.replace(offset - start, bytes.size(), bytes);
  extents.erase(first, it);
  extents.emplace(start, std::move(merged));
}

off_t backingSize(int fd) {
  struct stat info {};
  return ::fstat(fd, &info) == 0 ? info.st_size : 0;
}

bool writeAll(int fd, const char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(fd, data, size, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

std::string parentOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

DiskModel::DiskModel(int root, int attic, bool strictNames)
    : root_(root), attic_(attic), strict_(strictNames) {}

DiskModel::Unsynced& DiskModel::unsynced(ino_t inode, int fd) {
  auto [it, added] = unsynced_.try_emplace(inode);
  if (added) it->second.size = it->second.floor = backingSize(fd);
  return it->second;
}

void DiskModel::write(ino_t inode, int fd, const char* data, std::size_t size, off_t offset) {
  Unsynced& file = unsynced(inode, fd);
  lay(file.extents, offset, std::string_view(data, size));
  file.size = std::max(file.size, offset + static_cast<off_t>(size));
  if (!lastWrite_ || lastWrite_->inode != inode)
    lastWrite_ = LastWrite{inode, UniqueFd(::dup(fd)), 0, {}};
  lastWrite_->offset = offset;
  lastWrite_->bytes.assign(data, size);
}

ssize_t DiskModel::read(ino_t inode, int fd, char* out, std::size_t size, off_t offset) const {
  auto found = unsynced_.find(inode);
  if (found == unsynced_.end()) {
    ssize_t n = ::pread(fd, out, size, offset);
    return n < 0 ? -errno : n;
  }
  const Unsynced& file = found->second;
  if (offset >= file.size) return 0;
  auto count =
      static_cast<std::size_t>(std::min<off_t>(static_cast<off_t>(size), file.size - offset));
  std::memset(out, 0, count);
  const off_t below = std::min(file.floor, backingSize(fd));
  for (off_t at = offset; at < std::min<off_t>(below, offset + static_cast<off_t>(count));) {
    ssize_t n = ::pread(fd, out + (at - offset),
                        static_cast<std::size_t>(std::min<off_t>(below, offset + count) - at), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    at += n;
  }
  const off_t stop = offset + static_cast<off_t>(count);
  auto it = file.extents.upper_bound(offset);
  if (it != file.extents.begin()) --it;
  for (; it != file.extents.end() && it->first < stop; ++it) {
    off_t from = std::max(offset, it->first), to = std::min(stop, end(*it));
    if (from < to)
      std::memcpy(out + (from - offset), it->second.data() + (from - it->first), to - from);
  }
  return static_cast<ssize_t>(count);
}

void DiskModel::truncate(ino_t inode, int fd, off_t size) {
  Unsynced& file = unsynced(inode, fd);
  file.size = size;
  file.floor = std::min(file.floor, size);
  for (auto it = file.extents.begin(); it != file.extents.end();) {
    if (it->first >= size) {
      it = file.extents.erase(it);
    } else {
      if (end(*it) > size) it->second.resize(static_cast<std::size_t>(size - it->first));
      ++it;
    }
  }
}

int DiskModel::sync(ino_t inode, int fd) {
  auto found = unsynced_.find(inode);
  if (found == unsynced_.end()) return 0;
  const Unsynced& file = found->second;
  if (file.floor < backingSize(fd) && ::ftruncate(fd, file.floor) != 0) return -errno;
  for (const auto& [offset, bytes] : file.extents) {
    if (!writeAll(fd, bytes.data(), bytes.size(), offset)) return -EIO;
  }
  if (backingSize(fd) != file.size && ::ftruncate(fd, file.size) != 0) return -errno;
  unsynced_.erase(found);
  if (lastWrite_ && lastWrite_->inode == inode) lastWrite_.reset();
  return 0;
}

std::optional<off_t> DiskModel::size(ino_t inode) const {
  auto found = unsynced_.find(inode);
  if (found == unsynced_.end()) return std::nullopt;
  return found->second.size;
}

void DiskModel::closed(ino_t inode, nlink_t links) {
  if (--opens_[inode] > 0) return;
  opens_.erase(inode);
  if (links == 0) unsynced_.erase(inode);
}

void DiskModel::forgetIfGone(ino_t inode, nlink_t linksBefore) {
  if (linksBefore <= 1 && !opens_.count(inode)) unsynced_.erase(inode);
}

std::optional<ino_t> DiskModel::inodeOf(const std::string& path, nlink_t* links) const {
  struct stat info {};
  if (::fstatat(root_, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
  if (links) *links = info.st_nlink;
  return info.st_ino;
}

std::optional<ino_t> DiskModel::folderOf(const std::string& path) const {
  return inodeOf(parentOf(path));
}

// Moves the entry at `path` into the attic; its attic name.
std::string DiskModel::keep(const std::string& path) {
  std::string name = "kept-" + std::to_string(++kept_);
  if (::renameat(root_, path.c_str(), attic_, name.c_str()) != 0) return "";
  return name;
}

void DiskModel::created(const std::string& path) {
  if (!strict_) return;
  Change change;
  change.path = path;
  if (auto folder = folderOf(path)) change.folders.insert(*folder);
  changes_.push_back(std::move(change));
}

int DiskModel::remove(const std::string& path, bool folder) {
  nlink_t links = 0;
  auto inode = inodeOf(path, &links);
  if (!inode) return -errno;
  if (!strict_) {
    if (::unlinkat(root_, path.c_str(), folder ? AT_REMOVEDIR : 0) != 0) return -errno;
    if (!folder) forgetIfGone(*inode, links);
    return 0;
  }
  if (folder) {
    // rmdir's own checks: only an empty folder goes.
    int probe = ::openat(root_, path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (probe < 0) return -errno;
    std::error_code error;
    bool empty = std::filesystem::is_empty("/proc/self/fd/" + std::to_string(probe), error);
    ::close(probe);
    if (!empty) return -ENOTEMPTY;
  }
  Change change;
  change.path = path;
  change.removal = true;
  if (auto parent = folderOf(path)) change.folders.insert(*parent);
  change.kept = keep(path);
  if (change.kept.empty()) return -errno;
  changes_.push_back(std::move(change));
  return 0;
}

int DiskModel::rename(const std::string& from, const std::string& to, unsigned int flags) {
  if (flags & ~static_cast<unsigned int>(RENAME_NOREPLACE))
    return -EINVAL;  // no exchange, no whiteout
  nlink_t links = 0;
  auto replaced = inodeOf(to, &links);
  struct stat target {};
  bool folderTarget = replaced && ::fstatat(root_, to.c_str(), &target, AT_SYMLINK_NOFOLLOW) == 0 &&
                      S_ISDIR(target.st_mode);
  if (!strict_) {
    if (::renameat2(root_, from.c_str(), root_, to.c_str(), flags) != 0) return -errno;
    if (replaced && !folderTarget) forgetIfGone(*replaced, links);
    return 0;
  }
  Change change;
  change.path = to;
  change.from = from;
  for (const auto& path : {from, to}) {
    if (auto folder = folderOf(path)) change.folders.insert(*folder);
  }
  if (replaced && !folderTarget && !(flags & RENAME_NOREPLACE)) {
    // A hard link in the attic keeps the replaced file for an undo; the rename's own checks
    // decide whether it goes.
    change.kept = "kept-" + std::to_string(++kept_);
    if (::linkat(root_, to.c_str(), attic_, change.kept.c_str(), 0) != 0) return -errno;
  }
  if (::renameat2(root_, from.c_str(), root_, to.c_str(), flags) != 0) {
    int error = errno;
    if (!change.kept.empty()) ::unlinkat(attic_, change.kept.c_str(), 0);
    return -error;
  }
  change.replacedFolder = folderTarget;
  changes_.push_back(std::move(change));
  return 0;
}

// A change whose folders are all synced stays; what the attic kept for its undo goes.
void DiskModel::settle(Change& change) {
  if (change.kept.empty()) return;
  struct stat info {};
  if (::fstatat(attic_, change.kept.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    ::unlinkat(attic_, change.kept.c_str(), AT_REMOVEDIR);
  } else if (::unlinkat(attic_, change.kept.c_str(), 0) == 0) {
    forgetIfGone(info.st_ino, info.st_nlink);
  }
}

void DiskModel::syncFolder(ino_t folder) {
  for (auto it = changes_.begin(); it != changes_.end();) {
    it->folders.erase(folder);
    if (it->folders.empty()) {
      settle(*it);
      it = changes_.erase(it);
    } else {
      ++it;
    }
  }
}

bool DiskModel::undo(const Change& change) {
  if (change.removal)
    return ::renameat(attic_, change.kept.c_str(), root_, change.path.c_str()) == 0;
  if (!change.from.empty()) {
    if (::renameat2(root_, change.path.c_str(), root_, change.from.c_str(), RENAME_NOREPLACE) != 0)
      return false;
    if (!change.kept.empty())
      return ::renameat(attic_, change.kept.c_str(), root_, change.path.c_str()) == 0;
    return !change.replacedFolder || ::mkdirat(root_, change.path.c_str(), 0700) == 0;
  }
  // Something made here: whatever a new folder came to hold goes with it.
  struct stat info {};
  if (::fstatat(root_, change.path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!S_ISDIR(info.st_mode)) return ::unlinkat(root_, change.path.c_str(), 0) == 0;
  std::error_code error;
  std::filesystem::remove_all("/proc/self/fd/" + std::to_string(root_) + "/" + change.path, error);
  return !error;
}

void DiskModel::tearLastWrite(std::mt19937_64& random) {
  if (!lastWrite_ || !lastWrite_->fd) return;
  const off_t first = lastWrite_->offset;
  const off_t stop = first + static_cast<off_t>(lastWrite_->bytes.size());
  // The boundaries inside the write; the disk got everything before the chosen one.
  std::vector<off_t> boundaries;
  for (off_t b = (first / kBlock + 1) * kBlock; b < stop; b += kBlock) boundaries.push_back(b);
  if (boundaries.empty()) return;
  off_t cut =
      boundaries[std::uniform_int_distribution<std::size_t>(0, boundaries.size() - 1)(random)];
  if (writeAll(lastWrite_->fd.get(), lastWrite_->bytes.data(),
               static_cast<std::size_t>(cut - first), first))
    figures_.bytesTorn += cut - first;
}

void DiskModel::powerCut(std::mt19937_64* tear) {
  for (const auto& [inode, file] : unsynced_) {
    for (const auto& [offset, bytes] : file.extents)
      figures_.bytesDropped += static_cast<std::int64_t>(bytes.size());
  }
  if (tear) tearLastWrite(*tear);
  unsynced_.clear();
  lastWrite_.reset();
  for (auto it = changes_.rbegin(); it != changes_.rend(); ++it) {
    if (undo(*it)) {
      ++figures_.namesUndone;
    } else {
      ++figures_.undoFailures;
    }
  }
  changes_.clear();
}

}  // namespace trellisant::testing

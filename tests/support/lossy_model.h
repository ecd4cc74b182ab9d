#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace trellisant::testing {

// What a disk with a volatile cache keeps across a power cut, over a backing folder that
// stands for the platter. File data written since the file's last fsync lives in memory (reads
// see it laid over the backing file); names change in the backing folder at once, but in the
// strict mode each change is remembered until its folder is synced, and a power cut undoes the
// changes still waiting, newest first. Not thread-safe: LossyDisk calls it under one lock.
// Paths are relative to the backing folder ("." for its root); results are -errno on failure.
class DiskModel {
 public:
  struct Figures {
    std::int64_t bytesDropped = 0;  // unsynced file data forgotten at power cuts
    std::int64_t bytesTorn = 0;     // of it, what a torn last write still put on the disk
    int namesUndone = 0;            // name changes undone because their folder was not synced
    int undoFailures = 0;           // undos that could not be made (a fault of this model)
  };

  // `root` and `attic` are folder descriptors on one file system; the attic keeps entries that
  // a waiting change removed or replaced, so that a power cut can bring them back.
  DiskModel(int root, int attic, bool strictNames);

  // File data, by backing inode, through a descriptor of the backing file opened read-write.
  void write(ino_t inode, int fd, const char* data, std::size_t size, off_t offset);
  ssize_t read(ino_t inode, int fd, char* out, std::size_t size, off_t offset) const;
  void truncate(ino_t inode, int fd, off_t size);
  int sync(ino_t inode, int fd);
  // The size readers see, when the file has unsynced changes.
  std::optional<off_t> size(ino_t inode) const;
  // A file was opened or closed; data of a file whose last name and last descriptor are gone
  // is forgotten, so that a new file given the same inode starts clean.
  void opened(ino_t inode) { ++opens_[inode]; }
  void closed(ino_t inode, nlink_t links);

  // Names. `created` after the entry was made (a file, folder, link or node).
  void created(const std::string& path);
  int remove(const std::string& path, bool folder);
  int rename(const std::string& from, const std::string& to, unsigned int flags);
  void syncFolder(ino_t folder);

  // The power cut: unsynced data is dropped, the last unsynced write torn at a random 4 KiB
  // boundary when `tear` holds one, and waiting name changes are undone.
  void powerCut(std::mt19937_64* tear);
  const Figures& figures() const { return figures_; }

 private:
  struct Unsynced {
    std::map<off_t, std::string> extents;  // disjoint
    off_t size = 0;                        // what readers see
    off_t floor = 0;  // backing bytes at or past this were cut off since the last sync
  };
  struct Change {
    std::string path;  // the new name
    std::string from;  // a rename's old name, "" otherwise
    bool removal = false;
    std::string kept;  // the attic name of the entry it removed or replaced, "" when none
    bool replacedFolder = false;
    std::set<ino_t> folders;  // folders whose fsync it waits for
  };
  struct LastWrite {
    ino_t inode = 0;
    UniqueFd fd;
    off_t offset = 0;
    std::string bytes;
  };

  Unsynced& unsynced(ino_t inode, int fd);
  std::optional<ino_t> inodeOf(const std::string& path, nlink_t* links = nullptr) const;
  std::optional<ino_t> folderOf(const std::string& path) const;
  std::string keep(const std::string& path);
  void forgetIfGone(ino_t inode, nlink_t linksBefore);
  void settle(Change& change);
  bool undo(const Change& change);
  void tearLastWrite(std::mt19937_64& random);

  int root_;
  int attic_;
  bool strict_;
  std::map<ino_t, Unsynced> unsynced_;
  std::map<ino_t, int> opens_;
  std::vector<Change> changes_;
  std::optional<LastWrite> lastWrite_;
  int kept_ = 0;
  Figures figures_;
};

}  // namespace trellisant::testing

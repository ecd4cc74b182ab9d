#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

#include "unique_fd.h"

namespace trellisant::testing {

// A disk that loses power: a FUSE file system that passes everything through to a backing
// folder but keeps file data written since the file's last fsync or fdatasync in memory, as a
// disk cache would. A power cut drops that memory (optionally tearing the last unsynced write
// at a random 4 KiB boundary). With strict names, a create, rename, unlink or mkdir lasts only
// once its folder was synced; with simple names it lasts at once. After a cut every request
// fails with EIO until the disk is mounted again, which stands for the reboot. The file system
// runs in a process of its own (trellisant-lossy-disk), which mounts it in the caller's mount
// namespace; that needs root (or a user namespace) and /dev/fuse.
class LossyDisk {
 public:
  enum class Names { strict, simple };
  // Where a trap holds a request: a write, fsync or rename is held after it took effect (its
  // caller still waits for the answer), a read or a rename marked `before` before.
  enum class Event { write, fsync, read, renameBefore, renameAfter };
  struct Trap {
    Event event = Event::write;
    std::string marker;  // a part of the path (a rename's old one) that must occur in it
    int skip = 0;        // matching requests let through first
  };
  struct Figures {
    std::int64_t bytesDropped = 0;  // unsynced file data forgotten at power cuts
    std::int64_t bytesTorn = 0;     // of it, what a torn last write still put on the disk
    int namesUndone = 0;            // name changes undone because their folder was not synced
    int undoFailures = 0;           // undos that could not be made (a fault of the disk)
  };

  // FUSE cannot be used here (no /dev/fuse, no right to mount).
  struct Unavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
  };

  // Mounts `backing` (made when missing) at `mountPoint`; keeps its attic beside `backing`.
  LossyDisk(std::filesystem::path backing, std::filesystem::path mountPoint, Names names);
  ~LossyDisk();  // not copyable: it owns the server

  // Gives the calling process mounts of its own (a private mount namespace), so that a unit
  // test's disk goes away with it; false where that is not allowed.
  static bool privateMounts();

  const std::filesystem::path& mountPoint() const;
  void arm(Trap trap);
  // The path of the request the armed trap holds once it holds one, waiting up to `limit`.
  std::optional<std::string> waitForHold(std::chrono::milliseconds limit);
  // Disarms the trap and lets a held request go on.
  void release();
  // The power cut; `tear` draws the boundary at which the last unsynced write is torn.
  void powerCut(std::mt19937_64* tear = nullptr);
  // The reboot: unmounts (every user of the old mount must have ended) and mounts again.
  void remount();
  Figures figures() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A strict-names lossy disk for a unit test, mounted at `folder`/disk in a mount namespace of
// the test process's own; null, with the reason in `why`, where FUSE or namespaces are missing.
std::unique_ptr<LossyDisk> lossyDiskForTest(const std::filesystem::path& folder, std::string& why);

}  // namespace trellisant::testing

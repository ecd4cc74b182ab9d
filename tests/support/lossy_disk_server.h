#pragma once

#include <fuse3/fuse.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "lossy_disk.h"

namespace trellisant::testing {

// The lossy disk's FUSE file system over a backing folder, run by trellisant-lossy-disk: its
// requests go through the DiskModel under one lock, and an armed trap holds one of them.
struct Server {
  std::filesystem::path backing, attic, mountPoint;
  UniqueFd root, atticFd;
  std::mutex mutex;  // the model and the backing folder
  std::unique_ptr<DiskModel> model;
  bool off = false;  // the power is cut: every request fails with EIO

  std::mutex trapMutex;
  std::condition_variable trapChanged;
  std::optional<LossyDisk::Trap> trap;
  int seen = 0;
  std::optional<std::string> holding;
  bool letGo = false;

  fuse* session = nullptr;
  std::thread loop;

  static Server& self() { return *static_cast<Server*>(fuse_get_context()->private_data); }
  // Mounts `backingFolder` at `at`; throws LossyDisk::Unavailable.
  void open(std::filesystem::path backingFolder, std::filesystem::path at, bool strict);
  void mount();
  void unmount();
  // Answers one command line of trellisant-lossy-disk (lossy_disk_main.cpp).
  std::string command(const std::string& line);

  // Holds the request when the armed trap matches it; whether it may go on afterwards (not
  // when the power was cut meanwhile).
  bool pass(LossyDisk::Event event, const char* path);
  void letHeldGo();

  // Runs `body` under the lock unless the power is off.
  template <typename Body>
  int locked(Body body) {
    std::lock_guard lock(mutex);
    if (off) return -EIO;
    return body();
  }
  int result(int status) const { return status == 0 ? 0 : -errno; }
  // After a call that made `path`: its status as a FUSE result, the name noted.
  int made(const char* path, int status);
};

}  // namespace trellisant::testing

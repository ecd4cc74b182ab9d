// trellisant-lossy-disk BACKING MOUNTPOINT strict|simple: the server of a LossyDisk. Mounts
// the lossy file system, answers "ready" (or "unavailable REASON") on its standard output and
// then takes one command a line on its standard input, answering each with one line:
//   arm EVENT SKIP MARKER   -> ok          wait MILLISECONDS -> held WHAT | none
//   release                 -> ok          cut TEAR SEED     -> ok
//   remount                 -> ok          figures           -> figures DROPPED TORN UNDONE FAILED
// It unmounts and ends when its input closes. A process of its own: a program that maps a
// file of the disk into memory must never share its address space with the file system.
#include <dirent.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

#include "lossy_disk.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;
using Event = LossyDisk::Event;

// The FUSE file system over a backing folder: its requests go through the DiskModel under one
// lock, and an armed trap holds one of them.
struct Server {
  fs::path backing, attic, mountPoint;
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
  // Runs `body` with the disk under the lock unless the power is off.
  template <typename Body>
  static int locked(Body body) {
    Server& disk = self();
    std::lock_guard lock(disk.mutex);
    return disk.off ? -EIO : body(disk);
  }
  // Mounts `backingFolder` at `at`; throws LossyDisk::Unavailable.
  void open(fs::path backingFolder, fs::path at, bool strict);
  void mount();
  void unmount();
  std::string command(const std::string& line);
  // Holds the request when the armed trap matches it; whether it may go on afterwards (not
  // when the power was cut meanwhile).
  bool pass(Event event, const char* path);
  void letHeldGo();
};

// One open file or folder of the backing folder.
struct Handle {
  UniqueFd fd;
  ino_t inode = 0;
  std::string path;  // as opened: reads and writes come without one
};

std::string relative(const char* path) {
  return path && path[0] == '/' && path[1] ? std::string(path + 1) : std::string(".");
}

Handle& handleOf(const fuse_file_info* info) {
  return *reinterpret_cast<Handle*>(info->fh);
}

int result(int status) {
  return status == 0 ? 0 : -errno;
}

// After a call that made `path`: its status as a FUSE result, the name noted.
int made(Server& disk, const char* path, int status) {
  if (status != 0) return -errno;
  disk.model->created(relative(path));
  return 0;
}

// What a held request was, by Event.
constexpr const char* kEventNames[] = {"write to", "fsync of", "read of", "rename (before) of", "rename (after) of"};

bool Server::pass(Event event, const char* path) {
  std::unique_lock lock(trapMutex);
  if (!trap || trap->event != event || !path || !std::strstr(path, trap->marker.c_str())) return true;
  if (seen++ < trap->skip) return true;
  trap.reset();
  holding = std::string(kEventNames[static_cast<int>(event)]) + " " + path;
  letGo = false;
  trapChanged.notify_all();
  trapChanged.wait(lock, [&] { return letGo; });
  holding.reset();
  std::lock_guard state(mutex);
  return !off;
}

void Server::letHeldGo() {
  std::lock_guard lock(trapMutex);
  trap.reset();
  letGo = true;
  trapChanged.notify_all();
}

// Opens the backing file read-write whatever the caller asked for, since a later fsync through
// this descriptor writes the cached data.
int openFile(Server& disk, const char* path, fuse_file_info* fi, int create, mode_t mode) {
  int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (fi->flags & O_NONBLOCK) | create;
  UniqueFd fd(::openat(disk.root.get(), relative(path).c_str(), flags, mode));
  if (!fd && (errno == EACCES || errno == EISDIR || errno == ETXTBSY))
    fd = UniqueFd(::openat(disk.root.get(), relative(path).c_str(), (flags & ~O_RDWR) | (fi->flags & O_ACCMODE), mode));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0) return -errno;
  auto* handle = new Handle{std::move(fd), info.st_ino, path};
  disk.model->opened(info.st_ino);
  if ((fi->flags & O_TRUNC) && S_ISREG(info.st_mode)) disk.model->truncate(info.st_ino, handle->fd.get(), 0);
  fi->fh = reinterpret_cast<std::uint64_t>(handle);
  // SQLite maps its shared-memory index, which needs the page cache; every other file goes
  // straight through, so that each read and write reaches the disk as the program made it.
  fi->direct_io = !std::string_view(path).ends_with("-shm");
  return 0;
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.getattr = [](const char* path, struct stat* info, fuse_file_info* fi) {
    return Server::locked([&](Server& disk) {
      int status = fi ? ::fstat(handleOf(fi).fd.get(), info)
                      : ::fstatat(disk.root.get(), relative(path).c_str(), info, AT_SYMLINK_NOFOLLOW);
      if (status != 0) return -errno;
      auto size = S_ISREG(info->st_mode) ? disk.model->size(info->st_ino) : std::nullopt;
      if (size) {
        info->st_size = *size;
        info->st_blocks = (*size + 511) / 512;
      }
      return 0;
    });
  };
  ops.readlink = [](const char* path, char* out, std::size_t size) {
    return Server::locked([&](Server& disk) {
      ssize_t n = ::readlinkat(disk.root.get(), relative(path).c_str(), out, size - 1);
      if (n < 0) return -errno;
      out[n] = '\0';
      return 0;
    });
  };
  ops.mkdir = [](const char* path, mode_t mode) {
    return Server::locked(
        [&](Server& disk) { return made(disk, path, ::mkdirat(disk.root.get(), relative(path).c_str(), mode)); });
  };
  ops.unlink = [](const char* path) {
    return Server::locked([&](Server& disk) { return disk.model->remove(relative(path), false); });
  };
  ops.rmdir = [](const char* path) {
    return Server::locked([&](Server& disk) { return disk.model->remove(relative(path), true); });
  };
  ops.symlink = [](const char* target, const char* path) {
    return Server::locked(
        [&](Server& disk) { return made(disk, path, ::symlinkat(target, disk.root.get(), relative(path).c_str())); });
  };
  ops.rename = [](const char* from, const char* to, unsigned int flags) {
    Server& disk = Server::self();
    if (!disk.pass(Event::renameBefore, from)) return -EIO;
    int status = Server::locked([&](Server& d) { return d.model->rename(relative(from), relative(to), flags); });
    return status == 0 && !disk.pass(Event::renameAfter, from) ? -EIO : status;
  };
  ops.link = [](const char* from, const char* to) {
    return Server::locked([&](Server& disk) {
      return made(disk, to, ::linkat(disk.root.get(), relative(from).c_str(), disk.root.get(), relative(to).c_str(), 0));
    });
  };
  ops.chmod = [](const char* path, mode_t mode, fuse_file_info* fi) {
    return Server::locked([&](Server& disk) {
      return result(fi ? ::fchmod(handleOf(fi).fd.get(), mode)
                       : ::fchmodat(disk.root.get(), relative(path).c_str(), mode, 0));
    });
  };
  ops.truncate = [](const char* path, off_t size, fuse_file_info* fi) {
    return Server::locked([&](Server& disk) {
      UniqueFd own;
      int fd = fi ? handleOf(fi).fd.get() : -1;
      if (fd < 0) {
        own = UniqueFd(::openat(disk.root.get(), relative(path).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        fd = own ? own.get() : -1;
      }
      struct stat info {};
      if (fd < 0 || ::fstat(fd, &info) != 0) return -errno;
      if (!S_ISREG(info.st_mode)) return -EINVAL;
      disk.model->truncate(info.st_ino, fd, size);
      return 0;
    });
  };
  ops.open = [](const char* path, fuse_file_info* fi) {
    return Server::locked([&](Server& disk) { return openFile(disk, path, fi, 0, 0); });
  };
  ops.create = [](const char* path, mode_t mode, fuse_file_info* fi) {
    return Server::locked([&](Server& disk) {
      struct stat info {};
      bool existed = ::fstatat(disk.root.get(), relative(path).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
      int status = openFile(disk, path, fi, O_CREAT | (fi->flags & O_EXCL), mode);
      if (status == 0 && !existed) disk.model->created(relative(path));
      return status;
    });
  };
  ops.read = [](const char*, char* out, std::size_t size, off_t offset, fuse_file_info* fi) {
    if (!Server::self().pass(Event::read, handleOf(fi).path.c_str())) return -EIO;
    return Server::locked([&](Server& disk) {
      return static_cast<int>(disk.model->read(handleOf(fi).inode, handleOf(fi).fd.get(), out, size, offset));
    });
  };
  ops.write = [](const char*, const char* data, std::size_t size, off_t offset, fuse_file_info* fi) {
    int status = Server::locked([&](Server& disk) {
      disk.model->write(handleOf(fi).inode, handleOf(fi).fd.get(), data, size, offset);
      return 0;
    });
    if (status == 0 && !Server::self().pass(Event::write, handleOf(fi).path.c_str())) return -EIO;
    return status == 0 ? static_cast<int>(size) : status;
  };
  ops.statfs = [](const char*, struct statvfs* info) {
    return Server::locked([&](Server& disk) { return result(::fstatvfs(disk.root.get(), info)); });
  };
  // Closing is no durability point; it works after a power cut too, as the cut's processes end.
  ops.release = [](const char*, fuse_file_info* fi) {
    Server& disk = Server::self();
    std::unique_ptr<Handle> handle(&handleOf(fi));
    struct stat info {};
    std::lock_guard lock(disk.mutex);
    disk.model->closed(handle->inode, ::fstat(handle->fd.get(), &info) == 0 ? info.st_nlink : 1);
    return 0;
  };
  ops.fsync = [](const char*, int, fuse_file_info* fi) {
    int status = Server::locked([&](Server& disk) { return disk.model->sync(handleOf(fi).inode, handleOf(fi).fd.get()); });
    return status == 0 && !Server::self().pass(Event::fsync, handleOf(fi).path.c_str()) ? -EIO : status;
  };
  ops.opendir = [](const char* path, fuse_file_info* fi) {
    return Server::locked([&](Server& disk) {
      UniqueFd fd(::openat(disk.root.get(), relative(path).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
      struct stat info {};
      if (!fd || ::fstat(fd.get(), &info) != 0) return -errno;
      fi->fh = reinterpret_cast<std::uint64_t>(new Handle{std::move(fd), info.st_ino, path});
      return 0;
    });
  };
  ops.readdir = [](const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi, fuse_readdir_flags) {
    return Server::locked([&](Server&) {
      DIR* folder = ::fdopendir(::dup(handleOf(fi).fd.get()));
      if (!folder) return -errno;
      ::rewinddir(folder);
      while (dirent* entry = ::readdir(folder))
        if (fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
      ::closedir(folder);
      return 0;
    });
  };
  ops.releasedir = [](const char*, fuse_file_info* fi) {
    delete &handleOf(fi);
    return 0;
  };
  ops.fsyncdir = [](const char*, int, fuse_file_info* fi) {
    return Server::locked([&](Server& disk) {
      disk.model->syncFolder(handleOf(fi).inode);
      return 0;
    });
  };
  ops.access = [](const char* path, int mask) {
    return Server::locked(
        [&](Server& disk) { return result(::faccessat(disk.root.get(), relative(path).c_str(), mask, 0)); });
  };
  ops.init = [](fuse_conn_info*, fuse_config* config) {
    config->use_ino = 1;
    config->hard_remove = 1;  // no .fuse_hidden names for files removed while open
    config->nullpath_ok = 1;
    config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
    return fuse_get_context()->private_data;
  };
  return ops;
}

void Server::mount() {
  static const fuse_operations ops = operations();
  const char* argv[] = {"trellisant-lossy-disk", "-o", "fsname=trellisant-lossy-disk"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  session = fuse_new(&args, &ops, sizeof ops, this);
  if (!session) throw LossyDisk::Unavailable("FUSE refused the file system");
  if (fuse_mount(session, mountPoint.c_str()) != 0) {
    fuse_destroy(session);
    session = nullptr;
    throw LossyDisk::Unavailable("FUSE cannot mount at " + mountPoint.string());
  }
  loop = std::thread([this] { fuse_loop_mt(session, 0); });
}

void Server::unmount() {
  if (!session) return;
  letHeldGo();
  fuse_exit(session);
  fuse_unmount(session);  // ends the loop once the kernel lets the connection go
  loop.join();
  fuse_destroy(session);
  session = nullptr;
}

void Server::open(fs::path backingFolder, fs::path at, bool strict) {
  if (::access("/dev/fuse", R_OK | W_OK) != 0) throw LossyDisk::Unavailable("/dev/fuse is not available");
  backing = std::move(backingFolder);
  attic = backing.string() + ".attic";
  mountPoint = std::move(at);
  fs::remove_all(attic);
  for (const auto& folder : {backing, attic, mountPoint}) fs::create_directories(folder);
  root = UniqueFd(::open(backing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  atticFd = UniqueFd(::open(attic.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root || !atticFd) throw std::runtime_error("cannot open " + backing.string());
  model = std::make_unique<DiskModel>(root.get(), atticFd.get(), strict);
  mount();
}

std::string Server::command(const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  in >> verb;
  if (verb == "arm") {
    int event = 0;
    LossyDisk::Trap armed;
    in >> event >> armed.skip >> std::ws;
    armed.event = static_cast<Event>(event);
    std::getline(in, armed.marker);
    std::lock_guard lock(trapMutex);
    trap = armed;
    seen = 0;
  } else if (verb == "wait") {
    long milliseconds = 0;
    in >> milliseconds;
    std::unique_lock lock(trapMutex);
    trapChanged.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return holding.has_value(); });
    return holding ? "held " + *holding : "none";
  } else if (verb == "release") {
    letHeldGo();
  } else if (verb == "cut") {
    int tear = 0;
    std::uint64_t seed = 0;
    in >> tear >> seed;
    std::mt19937_64 random(seed);
    {
      std::lock_guard lock(mutex);
      off = true;
      model->powerCut(tear ? &random : nullptr);
    }
    letHeldGo();
  } else if (verb == "remount") {
    unmount();
    {
      std::lock_guard lock(mutex);
      off = false;
    }
    mount();
  } else if (verb == "figures") {
    std::lock_guard lock(mutex);
    const auto& f = model->figures();
    return "figures " + std::to_string(f.bytesDropped) + " " + std::to_string(f.bytesTorn) + " " +
           std::to_string(f.namesUndone) + " " + std::to_string(f.undoFailures);
  } else {
    return "error unknown command " + verb;
  }
  return "ok";
}

}  // namespace
}  // namespace trellisant::testing

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: trellisant-lossy-disk BACKING MOUNTPOINT strict|simple\n";
    return 2;
  }
  trellisant::testing::Server server;
  try {
    server.open(argv[1], argv[2], std::string(argv[3]) == "strict");
  } catch (const std::exception& error) {
    std::cout << "unavailable " << error.what() << std::endl;
    return 0;
  }
  std::cout << "ready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    try {
      std::cout << server.command(line) << std::endl;
    } catch (const std::exception& error) {
      std::cout << "error " << error.what() << std::endl;
    }
  }
  server.unmount();
  return 0;
}

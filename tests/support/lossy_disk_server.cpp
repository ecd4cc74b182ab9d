// The lossy disk's FUSE file system (see lossy_disk_server.h).
#include "lossy_disk_server.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace trellisant::testing {
namespace fs = std::filesystem;
using Event = LossyDisk::Event;

namespace {

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

// SQLite maps its shared-memory index, which needs the page cache; every other file goes
// straight through, so that each read and write reaches the disk as the program made it.
bool mapped(const char* path) {
  std::string_view name = path ? path : "";
  return name.size() > 4 && name.substr(name.size() - 4) == "-shm";
}

// What a held request was, by Event.
constexpr const char* kEventNames[] = {"write to", "fsync of", "read of", "rename (before) of",
                                       "rename (after) of"};

}  // namespace

bool Server::pass(Event event, const char* path) {
  std::unique_lock lock(trapMutex);
  if (!trap || trap->event != event || !path || !std::strstr(path, trap->marker.c_str()))
    return true;
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

int Server::made(const char* path, int status) {
  if (status != 0) return -errno;
  model->created(relative(path));
  return 0;
}

namespace {

int doGetattr(const char* path, struct stat* info, fuse_file_info* fi) {
  Server& disk = Server::self();
  return disk.locked([&] {
    int status = fi ? ::fstat(handleOf(fi).fd.get(), info)
                    : ::fstatat(disk.root.get(), relative(path).c_str(), info, AT_SYMLINK_NOFOLLOW);
    if (status != 0) return -errno;
    if (S_ISREG(info->st_mode)) {
      if (auto size = disk.model->size(info->st_ino)) {
        info->st_size = *size;
        info->st_blocks = (*size + 511) / 512;
      }
    }
    return 0;
  });
}

int doReadlink(const char* path, char* out, std::size_t size) {
  Server& disk = Server::self();
  return disk.locked([&] {
    ssize_t n = ::readlinkat(disk.root.get(), relative(path).c_str(), out, size - 1);
    if (n < 0) return -errno;
    out[n] = '\0';
    return 0;
  });
}

int doMkdir(const char* path, mode_t mode) {
  Server& disk = Server::self();
  return disk.locked(
      [&] { return disk.made(path, ::mkdirat(disk.root.get(), relative(path).c_str(), mode)); });
}

int doUnlink(const char* path) {
  Server& disk = Server::self();
  return disk.locked([&] { return disk.model->remove(relative(path), false); });
}

int doRmdir(const char* path) {
  Server& disk = Server::self();
  return disk.locked([&] { return disk.model->remove(relative(path), true); });
}

int doSymlink(const char* target, const char* path) {
  Server& disk = Server::self();
  return disk.locked([&] {
    return disk.made(path, ::symlinkat(target, disk.root.get(), relative(path).c_str()));
  });
}

int doRename(const char* from, const char* to, unsigned int flags) {
  Server& disk = Server::self();
  if (!disk.pass(Event::renameBefore, from)) return -EIO;
  int status = disk.locked([&] { return disk.model->rename(relative(from), relative(to), flags); });
  if (status == 0 && !disk.pass(Event::renameAfter, from)) return -EIO;
  return status;
}

int doLink(const char* from, const char* to) {
  Server& disk = Server::self();
  return disk.locked([&] {
    return disk.made(to, ::linkat(disk.root.get(), relative(from).c_str(), disk.root.get(),
                                  relative(to).c_str(), 0));
  });
}

int doChmod(const char* path, mode_t mode, fuse_file_info* fi) {
  Server& disk = Server::self();
  return disk.locked([&] {
    return disk.result(fi ? ::fchmod(handleOf(fi).fd.get(), mode)
                          : ::fchmodat(disk.root.get(), relative(path).c_str(), mode, 0));
  });
}

int doTruncate(const char* path, off_t size, fuse_file_info* fi) {
  Server& disk = Server::self();
  return disk.locked([&] {
    UniqueFd own;
    int fd = fi ? handleOf(fi).fd.get() : -1;
    if (fd < 0) {
      own = UniqueFd(
          ::openat(disk.root.get(), relative(path).c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
      if (!own) return -errno;
      fd = own.get();
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) return -errno;
    if (!S_ISREG(info.st_mode)) return -EINVAL;
    disk.model->truncate(info.st_ino, fd, size);
    return 0;
  });
}

// Opens the backing file read-write whatever the caller asked for, since a later fsync through
// this descriptor writes the cached data.
int openFile(Server& disk, const char* path, fuse_file_info* fi, int create, mode_t mode) {
  int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (fi->flags & O_NONBLOCK) | create;
  UniqueFd fd(::openat(disk.root.get(), relative(path).c_str(), flags, mode));
  if (!fd && (errno == EACCES || errno == EISDIR || errno == ETXTBSY))
    fd = UniqueFd(::openat(disk.root.get(), relative(path).c_str(),
                           (flags & ~O_RDWR) | (fi->flags & O_ACCMODE), mode));
  if (!fd) return -errno;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return -errno;
  auto* handle = new Handle{std::move(fd), info.st_ino, path};
  disk.model->opened(info.st_ino);
  if ((fi->flags & O_TRUNC) && S_ISREG(info.st_mode))
    disk.model->truncate(info.st_ino, handle->fd.get(), 0);
  fi->fh = reinterpret_cast<std::uint64_t>(handle);
  fi->direct_io = !mapped(path);
  return 0;
}

int doOpen(const char* path, fuse_file_info* fi) {
  Server& disk = Server::self();
  return disk.locked([&] { return openFile(disk, path, fi, 0, 0); });
}

int doCreate(const char* path, mode_t mode, fuse_file_info* fi) {
  Server& disk = Server::self();
  return disk.locked([&] {
    struct stat info {};
    bool existed =
        ::fstatat(disk.root.get(), relative(path).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    int status = openFile(disk, path, fi, O_CREAT | (fi->flags & O_EXCL), mode);
    if (status == 0 && !existed) disk.model->created(relative(path));
    return status;
  });
}

int doRead(const char*, char* out, std::size_t size, off_t offset, fuse_file_info* fi) {
  Server& disk = Server::self();
  if (!disk.pass(Event::read, handleOf(fi).path.c_str())) return -EIO;
  return disk.locked([&] {
    Handle& handle = handleOf(fi);
    return static_cast<int>(disk.model->read(handle.inode, handle.fd.get(), out, size, offset));
  });
}

int doWrite(const char*, const char* data, std::size_t size, off_t offset, fuse_file_info* fi) {
  Server& disk = Server::self();
  int status = disk.locked([&] {
    Handle& handle = handleOf(fi);
    disk.model->write(handle.inode, handle.fd.get(), data, size, offset);
    return 0;
  });
  if (status == 0 && !disk.pass(Event::write, handleOf(fi).path.c_str())) return -EIO;
  return status == 0 ? static_cast<int>(size) : status;
}

int doStatfs(const char*, struct statvfs* info) {
  Server& disk = Server::self();
  return disk.locked([&] { return disk.result(::fstatvfs(disk.root.get(), info)); });
}

// Closing is no durability point; it works after a power cut too, as the cut's processes end.
int doRelease(const char*, fuse_file_info* fi) {
  Server& disk = Server::self();
  std::unique_ptr<Handle> handle(&handleOf(fi));
  struct stat info {};
  std::lock_guard lock(disk.mutex);
  disk.model->closed(handle->inode, ::fstat(handle->fd.get(), &info) == 0 ? info.st_nlink : 1);
  return 0;
}

int doFsync(const char*, int, fuse_file_info* fi) {
  Server& disk = Server::self();
  int status = disk.locked([&] {
    Handle& handle = handleOf(fi);
    return disk.model->sync(handle.inode, handle.fd.get());
  });
  if (status == 0 && !disk.pass(Event::fsync, handleOf(fi).path.c_str())) return -EIO;
  return status;
}

int doOpendir(const char* path, fuse_file_info* fi) {
  Server& disk = Server::self();
  return disk.locked([&] {
    UniqueFd fd(::openat(disk.root.get(), relative(path).c_str(),
                         O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!fd || ::fstat(fd.get(), &info) != 0) return -errno;
    fi->fh = reinterpret_cast<std::uint64_t>(new Handle{std::move(fd), info.st_ino, path});
    return 0;
  });
}

int doReaddir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
              fuse_readdir_flags) {
  Server& disk = Server::self();
  return disk.locked([&] {
    DIR* folder = ::fdopendir(::dup(handleOf(fi).fd.get()));
    if (!folder) return -errno;
    ::rewinddir(folder);
    while (dirent* entry = ::readdir(folder)) {
      if (fill(buffer, entry->d_name, nullptr, 0, static_cast<fuse_fill_dir_flags>(0)) != 0) break;
    }
    ::closedir(folder);
    return 0;
  });
}

int doReleasedir(const char*, fuse_file_info* fi) {
  delete &handleOf(fi);
  return 0;
}

int doFsyncdir(const char*, int, fuse_file_info* fi) {
  Server& disk = Server::self();
  return disk.locked([&] {
    disk.model->syncFolder(handleOf(fi).inode);
    return 0;
  });
}

int doAccess(const char* path, int mask) {
  Server& disk = Server::self();
  return disk.locked(
      [&] { return disk.result(::faccessat(disk.root.get(), relative(path).c_str(), mask, 0)); });
}

void* doInit(fuse_conn_info*, fuse_config* config) {
  config->use_ino = 1;
  config->hard_remove = 1;  // no .fuse_hidden names for files removed while open
  config->nullpath_ok = 1;
  config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
  return fuse_get_context()->private_data;
}

fuse_operations operations() {
  fuse_operations ops{};
  ops.getattr = doGetattr;
  ops.readlink = doReadlink;
  ops.mkdir = doMkdir;
  ops.unlink = doUnlink;
  ops.rmdir = doRmdir;
  ops.symlink = doSymlink;
  ops.rename = doRename;
  ops.link = doLink;
  ops.chmod = doChmod;
  ops.truncate = doTruncate;
  ops.open = doOpen;
  ops.read = doRead;
  ops.write = doWrite;
  ops.statfs = doStatfs;
  ops.release = doRelease;
  ops.fsync = doFsync;
  ops.opendir = doOpendir;
  ops.readdir = doReaddir;
  ops.releasedir = doReleasedir;
  ops.fsyncdir = doFsyncdir;
  ops.init = doInit;
  ops.access = doAccess;
  ops.create = doCreate;
  return ops;
}

}  // namespace

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
  if (::access("/dev/fuse", R_OK | W_OK) != 0)
    throw LossyDisk::Unavailable("/dev/fuse is not available");
  backing = std::move(backingFolder);
  attic = backing.string() + ".attic";
  mountPoint = std::move(at);
  fs::remove_all(attic);
  fs::create_directories(backing);
  fs::create_directories(attic);
  fs::create_directories(mountPoint);
  root = UniqueFd(::open(backing.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  atticFd = UniqueFd(::open(attic.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!root || !atticFd) throw std::runtime_error("cannot open " + backing.string());
  model = std::make_unique<DiskModel>(root.get(), atticFd.get(), strict);
  mount();
}

}  // namespace trellisant::testing

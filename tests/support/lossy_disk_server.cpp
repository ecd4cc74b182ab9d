// trellisant-lossy-disk BACKING MOUNTPOINT strict|simple: the server of a LossyDisk. Mounts
// the lossy file system, answers "ready" (or "unavailable REASON") on its standard output and
// then takes one command a line on its standard input, answering each with one line:
//   arm EVENT SKIP MARKER   -> ok          wait MILLISECONDS -> held PATH | none
//   release                 -> ok          cut TEAR SEED     -> ok
//   remount                 -> ok          figures           -> figures DROPPED TORN UNDONE FAILED
// It unmounts and ends when its input closes. A process of its own: a program that maps a
// file of the disk into memory must never share its address space with the file system.
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "lossy_disk.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;
using Event = LossyDisk::Event;
constexpr off_t kBlock = 4096;

// A file's data written since its last sync: disjoint extents laid over the backing file.
struct Unsynced {
  UniqueFd fd;  // the backing file, read-write
  std::map<off_t, std::string> extents;
  off_t size = 0;   // what readers see
  off_t floor = 0;  // backing bytes at or past this were cut off since the last sync
};

// A name change of the strict mode, undone at a power cut unless all its folders were synced:
// a new name goes, a rename moves `path` back to `from`, and the file a removal or rename took
// away comes back from the attic (`kept`). Removing a folder lasts at once: nothing here does.
struct Change {
  std::string path, from, kept;
  std::set<ino_t> folders;
};

off_t end(const auto& extent) {
  return extent.first + std::ssize(extent.second);
}

bool writeAll(int fd, std::string_view bytes, off_t offset) {
  for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n)), offset += n)
    if ((n = ::pwrite(fd, bytes.data(), bytes.size(), offset)) <= 0) return false;
  return true;
}

// The FUSE file system over a backing folder. Every request runs under `mutex` (see Locked);
// an armed trap holds one request, letting the others go on meanwhile.
struct Disk {
  fs::path mountPoint;
  UniqueFd root, attic;  // the attic keeps what a waiting name change removed or replaced
  std::mutex mutex;
  bool strict = true, off = false;  // off: the power is cut, every request fails with EIO
  std::map<ino_t, Unsynced> unsynced;
  std::vector<Change> changes;
  struct {
    ino_t inode = 0;
    off_t offset = 0;
    std::string bytes;
  } last;  // last unsynced write
  LossyDisk::Figures figures;
  std::condition_variable_any trapChanged;
  std::optional<LossyDisk::Trap> trap;
  std::optional<std::string> holding;  // the path of the request held
  int kept = 0, seen = 0;
  fuse* session = nullptr;
  std::thread loop;

  static Disk& self() { return *static_cast<Disk*>(fuse_get_context()->private_data); }
  static int fdOf(const fuse_file_info* fi) { return static_cast<int>(fi->fh); }
  static fs::path procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }
  static std::string relative(const char* path) { return path[1] ? path + 1 : "."; }
  static struct stat infoOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) info.st_nlink = 0;
    return info;
  }
  std::optional<struct stat> statOf(const std::string& path) const {
    struct stat info {};
    if (::fstatat(root.get(), path.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return info;
  }

  // File data.
  Unsynced& file(int fd) {
    struct stat info = infoOf(fd);
    auto [it, added] = unsynced.try_emplace(info.st_ino);
    if (added) it->second = {UniqueFd(::dup(fd)), {}, info.st_size, info.st_size};
    return it->second;
  }

  int write(const char* path, const char* data, std::size_t size, off_t offset,
            fuse_file_info* fi) {
    Unsynced& f = file(fdOf(fi));
    const off_t stop = offset + static_cast<off_t>(size);
    auto it = f.extents.lower_bound(offset);
    if (it != f.extents.begin() && end(*std::prev(it)) > offset) --it;
    while (it != f.extents.end() && it->first < stop) {  // what lies outside the write stays
      if (end(*it) > stop) f.extents.emplace(stop, it->second.substr(stop - it->first));
      if (it->first < offset) it->second.resize(offset - it->first);
      it = it->first < offset ? std::next(it) : f.extents.erase(it);
    }
    f.extents.emplace(offset, std::string(data, size));
    f.size = std::max(f.size, stop);
    last = {infoOf(fdOf(fi)).st_ino, offset, std::string(data, size)};
    return pass(Event::write, path) ? static_cast<int>(size) : -EIO;
  }

  int read(const char* path, char* out, std::size_t size, off_t offset, fuse_file_info* fi) {
    if (!pass(Event::read, path)) return -EIO;
    const int fd = fdOf(fi);
    auto found = unsynced.find(infoOf(fd).st_ino);
    ssize_t n = found == unsynced.end() ? ::pread(fd, out, size, offset) : 0;
    if (found == unsynced.end()) return n < 0 ? -errno : static_cast<int>(n);
    const Unsynced& f = found->second;
    const off_t stop = std::min<off_t>(f.size, offset + size);
    if (offset >= stop) return 0;
    std::memset(out, 0, stop - offset);
    const off_t below = std::min({f.floor, infoOf(fd).st_size, stop});
    if (offset < below && ::pread(fd, out, below - offset, offset) < 0) return -errno;
    auto it = f.extents.upper_bound(offset);
    if (it != f.extents.begin()) --it;
    for (; it != f.extents.end() && it->first < stop; ++it) {
      off_t from = std::max(offset, it->first), to = std::min(stop, end(*it));
      if (from < to) std::memcpy(out + (from - offset), &it->second[from - it->first], to - from);
    }
    return static_cast<int>(stop - offset);
  }

  void shorten(int fd, off_t size) {
    Unsynced& f = file(fd);
    f.size = size;
    f.floor = std::min(f.floor, size);
    f.extents.erase(f.extents.lower_bound(size), f.extents.end());
    if (!f.extents.empty() && end(*f.extents.rbegin()) > size)
      f.extents.rbegin()->second.resize(size - f.extents.rbegin()->first);
  }

  // By descriptor only: nothing here truncates a file by its name.
  int truncate(const char*, off_t size, fuse_file_info* fi) {
    if (!fi || !S_ISREG(infoOf(fdOf(fi)).st_mode)) return -EINVAL;
    shorten(fdOf(fi), size);
    return 0;
  }

  int fsync(const char* path, int, fuse_file_info* fi) {
    auto found = unsynced.find(infoOf(fdOf(fi)).st_ino);
    if (found != unsynced.end()) {
      const Unsynced& f = found->second;
      if (::ftruncate(f.fd.get(), f.floor) != 0) return -errno;
      for (const auto& [offset, bytes] : f.extents)
        if (!writeAll(f.fd.get(), bytes, offset)) return -EIO;
      if (::ftruncate(f.fd.get(), f.size) != 0) return -errno;
      if (last.inode == found->first) last = {};
      unsynced.erase(found);
    }
    return pass(Event::fsync, path) ? 0 : -EIO;
  }

  int getattr(const char* path, struct stat* info, fuse_file_info* fi) {
    if (fi ? ::fstat(fdOf(fi), info)
           : ::fstatat(root.get(), relative(path).c_str(), info, AT_SYMLINK_NOFOLLOW))
      return -errno;
    auto found = S_ISREG(info->st_mode) ? unsynced.find(info->st_ino) : unsynced.end();
    if (found != unsynced.end())
      info->st_blocks = ((info->st_size = found->second.size) + 511) / 512;
    return 0;
  }

  // Opens the backing entry; a file read-write whatever the caller asked for, since a later
  // fsync writes the cached data through it.
  int openAt(const char* path, fuse_file_info* fi, int flags, mode_t mode = 0) {
    int fd = ::openat(root.get(), relative(path).c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return -errno;
    fi->fh = static_cast<std::uint64_t>(fd);
    if ((fi->flags & O_TRUNC) && S_ISREG(infoOf(fd).st_mode)) shorten(fd, 0);
    // SQLite maps its shared-memory index, which needs the page cache; every other file goes
    // straight through, so that each read and write reaches the disk as the program made it.
    fi->direct_io = !std::string_view(path).ends_with("-shm");
    return 0;
  }
  int open(const char* path, fuse_file_info* fi) { return openAt(path, fi, O_RDWR); }
  int opendir(const char* path, fuse_file_info* fi) { return openAt(path, fi, O_DIRECTORY); }
  int create(const char* path, mode_t mode, fuse_file_info* fi) {
    bool existed = statOf(relative(path)).has_value();
    int status = openAt(path, fi, O_RDWR | O_CREAT | (fi->flags & O_EXCL), mode);
    return status == 0 && !existed ? made(path, 0) : status;
  }

  int readdir(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info* fi,
              fuse_readdir_flags) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(procPath(fdOf(fi)), error))
      if (fill(buffer, entry.path().filename().c_str(), nullptr, 0, fuse_fill_dir_flags{})) break;
    return -error.value();
  }
  int chmod(const char* path, mode_t mode, fuse_file_info* fi) {
    return (fi ? ::fchmod(fdOf(fi), mode) : ::fchmodat(root.get(), relative(path).c_str(), mode, 0))
               ? -errno
               : 0;
  }
  int statfs(const char*, struct statvfs* info) {
    return ::fstatvfs(root.get(), info) ? -errno : 0;
  }

  // Names.
  ino_t folderOf(const std::string& path) const {
    auto slash = path.rfind('/');
    auto info = statOf(slash == std::string::npos ? "." : path.substr(0, slash));
    return info ? info->st_ino : 0;
  }
  // A hard link of the file at `path` in the attic; its attic name, "" when none could be made.
  std::string keep(const std::string& path) {
    std::string name = "kept-" + std::to_string(++kept);
    return ::linkat(root.get(), path.c_str(), attic.get(), name.c_str(), 0) == 0 ? name : "";
  }
  int dropKept(const std::string& name, int error) {
    if (!name.empty()) ::unlinkat(attic.get(), name.c_str(), 0);
    return -error;
  }

  // After a call that made `path` (a file or folder): its status as a FUSE result.
  int made(const char* path, int status) {
    if (status != 0) return -errno;
    if (strict) changes.push_back({relative(path), "", "", {folderOf(relative(path))}});
    return 0;
  }
  int mkdir(const char* path, mode_t mode) {
    return made(path, ::mkdirat(root.get(), relative(path).c_str(), mode));
  }

  int remove(const std::string& path, bool folder) {
    std::string kept = strict && !folder ? keep(path) : "";
    if ((strict && !folder && kept.empty()) ||
        ::unlinkat(root.get(), path.c_str(), folder ? AT_REMOVEDIR : 0) != 0)
      return dropKept(kept, errno);
    if (!kept.empty()) changes.push_back({path, "", kept, {folderOf(path)}});
    return 0;
  }
  int unlink(const char* path) { return remove(relative(path), false); }
  int rmdir(const char* path) { return remove(relative(path), true); }

  int rename(const char* fromPath, const char* toPath, unsigned int flags) {
    if (!pass(Event::renameBefore, fromPath)) return -EIO;
    if (flags & ~RENAME_NOREPLACE) return -EINVAL;  // no exchange, no whiteout
    std::string from = relative(fromPath), to = relative(toPath);
    auto target = statOf(to);
    bool replace = target && !S_ISDIR(target->st_mode) && !(flags & RENAME_NOREPLACE);
    std::string kept = strict && replace ? keep(to) : "";
    std::set<ino_t> folders = {folderOf(from), folderOf(to)};
    if (::renameat2(root.get(), from.c_str(), root.get(), to.c_str(), flags) != 0)
      return dropKept(kept, errno);
    if (strict) changes.push_back({to, from, kept, folders});
    return pass(Event::renameAfter, fromPath) ? 0 : -EIO;
  }

  // A change whose folders are all synced lasts; what the attic kept for its undo goes.
  int fsyncdir(const char*, int, fuse_file_info* fi) {
    for (Change& change : changes) change.folders.erase(infoOf(fdOf(fi)).st_ino);
    std::erase_if(changes, [&](Change& c) { return c.folders.empty() && !dropKept(c.kept, 0); });
    return 0;
  }

  bool undo(const Change& change) {
    const char* path = change.path.c_str();
    if (change.from.empty() && change.kept.empty()) {
      // Something made here: whatever a new folder came to hold goes with it.
      std::error_code error;
      auto gone = fs::remove_all(procPath(root.get()) / path, error);
      return !error && gone > 0;
    }
    if (!change.from.empty() &&
        ::renameat2(root.get(), path, root.get(), change.from.c_str(), RENAME_NOREPLACE) != 0)
      return false;
    return change.kept.empty() ||
           ::renameat(attic.get(), change.kept.c_str(), root.get(), path) == 0;
  }

  // Data of files that still have a name is dropped, the last write torn at a random 4 KiB
  // boundary inside it when `tear` is given; waiting name changes are undone, newest first.
  void powerCut(std::mt19937_64* tear) {
    off = true;
    for (const auto& [inode, f] : unsynced)
      if (infoOf(f.fd.get()).st_nlink > 0)
        for (const auto& [offset, bytes] : f.extents) figures.bytesDropped += std::ssize(bytes);
    auto torn = unsynced.find(last.inode);
    const off_t first = last.offset / kBlock;
    const off_t boundaries = (last.offset + std::ssize(last.bytes) - 1) / kBlock - first;
    if (tear && torn != unsynced.end() && boundaries > 0 &&
        infoOf(torn->second.fd.get()).st_nlink) {
      off_t cut = (first + std::uniform_int_distribution<off_t>(1, boundaries)(*tear)) * kBlock;
      cut -= last.offset;
      if (writeAll(torn->second.fd.get(), std::string_view(last.bytes).substr(0, cut), last.offset))
        figures.bytesTorn += cut;
    }
    unsynced.clear();
    last = {};
    for (auto it = changes.rbegin(); it != changes.rend(); ++it)
      ++(undo(*it) ? figures.namesUndone : figures.undoFailures);
    changes.clear();
    letHeldGo();
  }

  // Under `mutex`: holds the request when the armed trap matches it, until it is let go;
  // whether it may go on then (not when the power was cut meanwhile).
  bool pass(Event event, const char* path) {
    if (!trap || trap->event != event || !path || !std::strstr(path, trap->marker.c_str()) ||
        seen++ < trap->skip)
      return true;
    trap.reset();
    holding = path;
    trapChanged.notify_all();
    trapChanged.wait(mutex, [&] { return !holding; });
    return !off;
  }
  void letHeldGo() { trap.reset(), holding.reset(), trapChanged.notify_all(); }  // under `mutex`

  void mount();
  void unmount();
  std::string command(const std::string& line);
};

// A request to the member `method`, under the lock unless the power is off.
template <auto method>
struct Locked;
template <typename... Args, int (Disk::*method)(Args...)>
struct Locked<method> {
  static int run(Args... args) {
    std::lock_guard lock(Disk::self().mutex);
    return Disk::self().off ? -EIO : (Disk::self().*method)(args...);
  }
};

void Disk::mount() {
  static const fuse_operations ops = [] {
    fuse_operations o{};
    o.getattr = Locked<&Disk::getattr>::run, o.mkdir = Locked<&Disk::mkdir>::run,
    o.unlink = Locked<&Disk::unlink>::run;
    o.rmdir = Locked<&Disk::rmdir>::run, o.rename = Locked<&Disk::rename>::run,
    o.chmod = Locked<&Disk::chmod>::run;
    o.truncate = Locked<&Disk::truncate>::run, o.open = Locked<&Disk::open>::run,
    o.create = Locked<&Disk::create>::run;
    o.read = Locked<&Disk::read>::run, o.write = Locked<&Disk::write>::run,
    o.statfs = Locked<&Disk::statfs>::run;
    o.fsync = Locked<&Disk::fsync>::run, o.opendir = Locked<&Disk::opendir>::run,
    o.readdir = Locked<&Disk::readdir>::run;
    o.fsyncdir = Locked<&Disk::fsyncdir>::run;
    // Closing is no durability point; it works after a power cut too, as processes end.
    o.release = o.releasedir = [](const char*, fuse_file_info* fi) {
      ::close(fdOf(fi));
      return 0;
    };
    o.init = [](fuse_conn_info*, fuse_config* config) {
      config->use_ino = 1;
      config->hard_remove = 1;  // no .fuse_hidden names for files removed while open
      config->entry_timeout = config->attr_timeout = config->negative_timeout = 0;
      return fuse_get_context()->private_data;
    };
    return o;
  }();
  const char* argv[] = {"trellisant-lossy-disk", "-o", "fsname=trellisant-lossy-disk"};
  fuse_args args = FUSE_ARGS_INIT(3, const_cast<char**>(argv));
  session = fuse_new(&args, &ops, sizeof ops, this);
  if (!session) throw LossyDisk::Unavailable("FUSE refused the file system");
  if (fuse_mount(session, mountPoint.c_str()) != 0) {
    fuse_destroy(std::exchange(session, nullptr));
    throw LossyDisk::Unavailable("FUSE cannot mount at " + mountPoint.string());
  }
  loop = std::thread([this] { fuse_loop_mt(session, 0); });
}

void Disk::unmount() {
  std::unique_lock lock(mutex);
  letHeldGo();
  lock.unlock();
  fuse_exit(session);
  fuse_unmount(session);  // ends the loop once the kernel lets the connection go
  loop.join();
  fuse_destroy(std::exchange(session, nullptr));
}

std::string Disk::command(const std::string& line) {
  std::istringstream in(line);
  std::string verb;
  long number = 0;
  in >> verb >> number;
  if (verb == "remount") {
    unmount();
    off = false;  // no request runs in between
    mount();
    return "ok";
  }
  std::unique_lock lock(mutex);
  if (verb == "arm") {
    trap.emplace().event = static_cast<Event>(number);
    in >> trap->skip >> std::ws;
    std::getline(in, trap->marker);
    seen = 0;
  } else if (verb == "wait") {
    trapChanged.wait_for(lock, std::chrono::milliseconds(number),
                         [&] { return holding.has_value(); });
    return holding ? "held " + *holding : "none";
  } else if (verb == "release") {
    letHeldGo();
  } else if (verb == "cut") {
    std::uint64_t seed = 0;
    in >> seed;
    std::mt19937_64 random(seed);
    powerCut(number ? &random : nullptr);
  } else if (verb == "figures") {
    return "figures " + std::to_string(figures.bytesDropped) + " " +
           std::to_string(figures.bytesTorn) + " " + std::to_string(figures.namesUndone) + " " +
           std::to_string(figures.undoFailures);
  }
  return "ok";
}

}  // namespace
}  // namespace trellisant::testing

int main(int argc, char** argv) {
  using namespace trellisant::testing;
  if (argc != 4) return 2;
  Disk disk;
  try {
    const fs::path backing = argv[1], attic = backing.string() + ".attic";
    disk.mountPoint = argv[2];
    disk.strict = std::string(argv[3]) == "strict";
    fs::remove_all(attic);
    for (const auto& folder : {backing, attic, disk.mountPoint}) fs::create_directories(folder);
    disk.root = trellisant::UniqueFd(::open(backing.c_str(), O_DIRECTORY | O_CLOEXEC));
    disk.attic = trellisant::UniqueFd(::open(attic.c_str(), O_DIRECTORY | O_CLOEXEC));
    disk.mount();  // throws where FUSE cannot be used
  } catch (const std::exception& error) {
    std::cout << "unavailable " << error.what() << std::endl;
    return 0;
  }
  std::cout << "ready" << std::endl;
  for (std::string in; std::getline(std::cin, in);) std::cout << disk.command(in) << std::endl;
  disk.unmount();
  return 0;
}

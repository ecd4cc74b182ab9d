#include "fault_tools.h"

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include "fileio.h"

namespace trellisant::faults {
namespace {

std::uint64_t number(const char* variable, std::uint64_t otherwise) {
  const char* value = std::getenv(variable);
  return value && *value ? std::stoull(value) : otherwise;
}

[[noreturn]] void failed(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

std::string sizeOption(std::int64_t bytes) {
  return "size=" + std::to_string(bytes) + ",mode=0755";
}

// The state letter from a /proc stat file ('T' when stopped), or 0 when it is gone.
char stateIn(const fs::path& stat) {
  auto text = readFile(stat);
  if (!text) return 0;
  auto close = text->rfind(')');
  return close != std::string::npos && close + 2 < text->size() ? (*text)[close + 2] : 0;
}

// Whether every thread of the process has stopped (or the process is gone); with
// `insideCalls`, threads in an uninterruptible wait in the kernel count too.
bool allThreadsStopped(pid_t pid, bool insideCalls) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    char state = stateIn(task.path() / "stat");
    if (state != 'T' && state != 0 && !(insideCalls && state == 'D')) return false;
  }
  return true;
}

}  // namespace

const FaultOptions& faultOptions() {
  static const FaultOptions options{static_cast<int>(number("TRELLISANT_KILLS", 5)),
                                    static_cast<int>(number("TRELLISANT_CUTS", 6)),
                                    std::getenv("TRELLISANT_REPORT") ? std::getenv("TRELLISANT_REPORT") : "",
                                    number("TRELLISANT_SEED", 0), number("TRELLISANT_THOROUGH", 0) != 0};
  return options;
}

Scenario::~Scenario() {
  const bool passed = !::testing::Test::HasFailure() && std::uncaught_exceptions() == 0;
  const auto seconds = std::lround(std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count());
  std::string joined;
  for (const auto& detail : details_) joined += "; " + detail;
  std::cout << (passed ? "PASS " : "FAIL ") << name_ << " (" << seconds << " s): " << injected_
            << " faults injected, " << survived_ << " survived, " << lost_ << " bytes lost" << joined << std::endl;
  if (faultOptions().report.empty()) return;
  Json line = {{"scenario", name_},      {"passed", passed},     {"seconds", seconds},
               {"injected", injected_},  {"survived", survived_}, {"bytesLost", lost_},
               {"reportedMissing", missing_}, {"details", details_}};
  std::ofstream(faultOptions().report, std::ios::app) << line.dump(-1, ' ', false, Json::error_handler_t::replace)
                                                      << "\n";
}

// Tmpfs -------------------------------------------------------------------------------------

Tmpfs::Tmpfs(fs::path where, std::int64_t bytes) : where_(std::move(where)) {
  fs::create_directories(where_);
  if (::mount("trellisant-fault-disk", where_.c_str(), "tmpfs", 0, sizeOption(bytes).c_str()) != 0)
    failed("mount tmpfs on " + where_.string());
  mounted_ = true;
}

Tmpfs::~Tmpfs() {
  if (mounted_) ::umount2(where_.c_str(), MNT_DETACH);
}

void Tmpfs::resize(std::int64_t bytes) {
  if (::mount("trellisant-fault-disk", where_.c_str(), "tmpfs", MS_REMOUNT, sizeOption(bytes).c_str()) != 0)
    failed("resize the tmpfs on " + where_.string());
}

void Tmpfs::shrinkToUsed(std::int64_t slack) {
  // tmpfs refuses a size below what it holds; the download may add a little in between.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string option = sizeOption(used() + slack);
    if (::mount("trellisant-fault-disk", where_.c_str(), "tmpfs", MS_REMOUNT, option.c_str()) == 0) return;
    if (errno != EINVAL) break;
  }
  failed("shrink the tmpfs on " + where_.string());
}

void Tmpfs::detach() {
  if (::umount2(where_.c_str(), MNT_DETACH) != 0) failed("unmount " + where_.string());
  mounted_ = false;
}

std::int64_t Tmpfs::used() const {
  struct statvfs info {};
  if (::statvfs(where_.c_str(), &info) != 0) failed("statvfs " + where_.string());
  return static_cast<std::int64_t>((info.f_blocks - info.f_bfree) * info.f_frsize);
}

// FolderWatch -------------------------------------------------------------------------------

FolderWatch::FolderWatch(fs::path root) : root_(std::move(root)) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) failed("inotify");
  watch("");
  thread_ = std::thread([this] { run(); });
}

FolderWatch::~FolderWatch() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  ::close(fd_);
}

std::vector<std::string> FolderWatch::seen() {
  std::lock_guard lock(mutex_);
  return seen_;
}

void FolderWatch::note(const std::string& relative) {
  std::lock_guard lock(mutex_);
  if (known_.insert(relative).second) seen_.push_back(relative);
}

// Watches the folder first and lists it afterwards, so nothing made in between is missed.
void FolderWatch::watch(const std::string& relative) {
  fs::path folder = relative.empty() ? root_ : root_ / relative;
  int wd = ::inotify_add_watch(fd_, folder.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW);
  if (wd < 0) return;  // gone again, or a link: nothing of it can be ours
  {
    std::lock_guard lock(mutex_);
    watches_.emplace_back(wd, relative);
  }
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    std::string child = (relative.empty() ? "" : relative + "/") + entry.path().filename().string();
    note(child);
    std::error_code kind;
    if (entry.is_directory(kind) && !entry.is_symlink(kind)) watch(child);
  }
}

void FolderWatch::run() {
  alignas(inotify_event) char buffer[64 * 1024];
  while (!stop_) {
    pollfd entry{fd_, POLLIN, 0};
    if (::poll(&entry, 1, 20) <= 0) continue;
    ssize_t length = ::read(fd_, buffer, sizeof buffer);
    for (ssize_t at = 0; at < length;) {
      auto* event = reinterpret_cast<inotify_event*>(buffer + at);
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      if (event->mask & IN_Q_OVERFLOW) {
        watch("");  // lost events: look at everything again
        continue;
      }
      if (event->len == 0) continue;
      std::string parent;
      {
        std::lock_guard lock(mutex_);
        auto found = std::find_if(watches_.begin(), watches_.end(),
                                  [&](const auto& w) { return w.first == event->wd; });
        if (found == watches_.end()) continue;
        parent = found->second;
      }
      std::string child = (parent.empty() ? "" : parent + "/") + event->name;
      note(child);
      if (event->mask & IN_ISDIR) watch(child);
    }
  }
}

// Trees -------------------------------------------------------------------------------------

std::set<std::string> filesBelow(const fs::path& folder, const std::vector<std::string>& skipping) {
  std::set<std::string> out;
  std::error_code error;
  fs::recursive_directory_iterator it(folder, error), end;
  for (; !error && it != end; it.increment(error)) {
    std::string relative = it->path().lexically_relative(folder).string();
    if (std::find(skipping.begin(), skipping.end(), relative) != skipping.end()) {
      it.disable_recursion_pending();
      continue;
    }
    std::error_code kind;
    if (!it->is_directory(kind)) out.insert(relative);
  }
  return out;
}

std::set<std::string> allowedNames(const fs::path& root, const std::vector<Sent>& sent) {
  std::set<std::string> allowed;
  auto withParents = [&](fs::path path) {
    for (; !path.empty(); path = path.parent_path()) allowed.insert(path.generic_string());
  };
  for (const Sent& delivery : sent) {
    fs::path base = delivery.folder.lexically_relative(root);
    withParents(base);
    for (const auto& file : delivery.delivery.at("files")) {
      fs::path path = base / file.at("relativePath").get<std::string>();
      withParents(path);
      allowed.insert((path.parent_path() / (".trellisant-" + file.at("id").get<std::string>() + ".partial"))
                         .generic_string());
    }
  }
  return allowed;
}

std::int64_t matchingPrefix(const fs::path& source, const fs::path& copy, std::int64_t limit) {
  std::ifstream a(source, std::ios::binary), b(copy, std::ios::binary);
  std::vector<char> x(1 << 20), y(1 << 20);
  std::int64_t same = 0;
  while (same < limit && a && b) {
    auto want = static_cast<std::streamsize>(std::min<std::int64_t>(limit - same, static_cast<std::int64_t>(x.size())));
    a.read(x.data(), want);
    b.read(y.data(), want);
    auto count = std::min(a.gcount(), b.gcount());
    auto differ = std::mismatch(x.begin(), x.begin() + count, y.begin()).first;
    same += differ - x.begin();
    if (differ != x.begin() + count || count < want) break;
  }
  return same;
}

std::int64_t compareTrees(const fs::path& source, const fs::path& destination) {
  std::int64_t lost = 0;
  std::set<std::string> expected = filesBelow(source);
  for (const auto& relative : expected) {
    std::error_code error;
    bool there = fs::exists(destination / relative, error);
    if (there && sameBytes(source / relative, destination / relative)) continue;
    ADD_FAILURE() << (destination / relative) << (there ? " differs from its source" : " is missing");
    lost += static_cast<std::int64_t>(fs::file_size(source / relative, error));
  }
  for (const auto& relative : filesBelow(destination))
    if (!expected.count(relative)) ADD_FAILURE() << (destination / relative) << " has no source";
  return lost;
}

// Deliveries --------------------------------------------------------------------------------

Deliveries::Deliveries(World& world, fs::path root, fs::path sources, std::string name,
                       std::function<void(const std::string&)> onSend)
    : world_(world), root_(std::move(root)), sources_(std::move(sources)), name_(std::move(name)),
      onSend_(std::move(onSend)) {}

void Deliveries::send() {
  Json delivery = world_.send(sources_, name_ + " " + std::to_string(sent_.size() + 1));
  sent_.push_back({delivery, delivery.at("id"), world_.destination(root_, delivery)});
  if (onSend_) onSend_(sent_.back().id);
}

void Deliveries::keepBusy() {
  auto now = std::chrono::steady_clock::now();
  if (now < nextLook_) return;
  nextLook_ = now + std::chrono::milliseconds(300);
  if (deliveryComplete(world_.summary(), current().id)) send();
}

bool Deliveries::waitForAll(std::chrono::milliseconds limit) {
  return waitUntil(
      [&] {
        Json summary = world_.summary();
        return std::all_of(sent_.begin(), sent_.end(), [&](const Sent& s) { return deliveryComplete(summary, s.id); });
      },
      limit, std::chrono::milliseconds(500));
}

std::int64_t Deliveries::bytesLost() const {
  std::int64_t lost = 0;
  for (const Sent& sent : sent_) lost += compareTrees(sources_, sent.folder);
  return lost;
}

// Freeze ------------------------------------------------------------------------------------

Freeze::Freeze(World& world, bool insideCalls) : world_(world), pids_(world.agents()) {
  for (pid_t pid : pids_) ::kill(pid, SIGSTOP);
  for (pid_t pid : pids_) {
    waitUntil([&] { return allThreadsStopped(pid, insideCalls); }, std::chrono::seconds(5),
                   std::chrono::milliseconds(1));
  }
}

Freeze::~Freeze() {
  thaw();
}

void Freeze::thaw() {
  for (pid_t pid : pids_) ::kill(pid, SIGCONT);
  pids_.clear();
}

void Freeze::kill() {
  for (pid_t pid : pids_) ::kill(pid, SIGKILL);
  pids_.clear();
  world_.killAgents();
}

// Status and summary ------------------------------------------------------------------------

std::string statusMessage(const World& world) {
  auto status = world.status();
  return status ? status->message : "";
}

std::string waitForAttention(const World& world, const std::vector<std::string>& messages,
                             std::chrono::milliseconds limit) {
  std::string list;
  for (const auto& message : messages) list += (list.empty() ? "\"" : " or \"") + message + "\"";
  return world
      .waitForStatus(
          [&](const AgentStatus& status) {
            return status.state == "needs_attention" &&
                   std::find(messages.begin(), messages.end(), status.message) != messages.end();
          },
          limit, "\"needs_attention\" with " + list)
      .message;
}

std::vector<std::string> waitingReasons(const Json& summary, const std::string& deliveryId) {
  std::vector<std::string> reasons;
  for (const auto& report : forDelivery(summary.at("progress"), deliveryId)) {
    if (report.at("state") == "waiting" && report.at("reason").is_string())
      reasons.push_back(report.at("reason").get<std::string>());
  }
  return reasons;
}

bool deliveryComplete(const Json& summary, const std::string& deliveryId) {
  for (const auto& delivery : summary.at("deliveries")) {
    if (delivery.at("id") == deliveryId)
      return delivery.at("completedFiles").size() == delivery.at("files").size();
  }
  return false;
}

}  // namespace trellisant::faults

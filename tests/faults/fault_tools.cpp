#include "fault_tools.h"

#include <signal.h>
#include <sys/statvfs.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iostream>
#include <random>

#include "fileio.h"

namespace trellisant::faults {
namespace {

bool mountTmpfs(const fs::path& where, std::int64_t bytes, unsigned long flags = 0) {
  std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  return ::mount("trellisant-fault-disk", where.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

// Whether every thread of the process has stopped (or the process is gone); with
// `insideCalls`, threads in an uninterruptible wait in the kernel count too.
bool allThreadsStopped(pid_t pid, bool insideCalls) {
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::string stat = readFile(task.path() / "stat").value_or("");
    auto close = stat.rfind(')');
    char state = close != std::string::npos && close + 2 < stat.size() ? stat[close + 2] : 0;
    if (state != 'T' && state != 0 && !(insideCalls && state == 'D')) return false;
  }
  return true;
}

}  // namespace

std::uint64_t option(const char* variable, std::uint64_t otherwise) {
  const char* value = std::getenv(variable);
  return value && *value ? std::stoull(value) : otherwise;
}

std::uint64_t seed() {
  static const std::uint64_t given = option("TRELLISANT_SEED", 0), fresh = std::random_device{}();
  return given ? given : fresh;
}

Scenario::~Scenario() {
  const bool passed = !::testing::Test::HasFailure() && std::uncaught_exceptions() == 0;
  const auto seconds = std::lround(std::chrono::duration<double>(std::chrono::steady_clock::now() - began_).count());
  std::string joined;
  for (const auto& detail : details_) joined += "; " + detail;
  std::cout << (passed ? "PASS " : "FAIL ") << name_ << " (" << seconds << " s): " << injected_
            << " faults injected, " << survived_ << " survived, " << lost_ << " bytes lost" << joined << std::endl;
  if (!std::getenv("TRELLISANT_REPORT")) return;
  Json line = {{"scenario", name_},      {"passed", passed},     {"seconds", seconds},
               {"injected", injected_},  {"survived", survived_}, {"bytesLost", lost_},
               {"reportedMissing", missing_}, {"details", details_}};
  std::ofstream(std::getenv("TRELLISANT_REPORT"), std::ios::app)
      << line.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
}

Tmpfs::Tmpfs(fs::path where, std::int64_t bytes) : where_(std::move(where)) {
  fs::create_directories(where_);
  if (!mountTmpfs(where_, bytes)) throw std::runtime_error("mount tmpfs: " + std::string(std::strerror(errno)));
}

void Tmpfs::resize(std::int64_t bytes, std::int64_t slack) {
  // tmpfs refuses a size below what it holds; the download may add a little in between.
  for (int attempt = 0; attempt < 100; ++attempt) {
    struct statvfs info {};
    if (slack >= 0 && ::statvfs(where_.c_str(), &info) == 0)
      bytes = static_cast<std::int64_t>((info.f_blocks - info.f_bfree) * info.f_frsize) + slack;
    if (mountTmpfs(where_, bytes, MS_REMOUNT)) return;
    if (errno != EINVAL) break;
  }
  throw std::runtime_error("resize tmpfs: " + std::string(std::strerror(errno)));
}

Deliveries::Deliveries(World& world, fs::path root, const std::string& name, const std::vector<SourceFile>& files)
    : world_(world), root_(std::move(root)), sources_(world.makeSources(name, files)), name_(name) {}

void Deliveries::sendNext() {
  Json delivery = world_.send(sources_, name_ + " " + std::to_string(sent_.size() + 1));
  sent_.push_back({delivery, delivery.at("id"), World::destination(root_, delivery)});
}

void Deliveries::startAgent() {
  world_.ctlOk({"enable"});  // the user, or the session, starts the agent again
  if (!waitUntil([&] { return world_.agents().size() == 1; }, 10s))
    throw std::runtime_error("the agent did not start");
}

void Deliveries::keepBusy() {
  auto now = std::chrono::steady_clock::now();
  if (now < nextLook_) return;
  nextLook_ = now + 300ms;
  if (deliveryComplete(world_.summary(), current().id)) sendNext();
}

std::int64_t Deliveries::run(Scenario& scenario, int count, const std::string& faults) {
  std::map<std::string, int> moments;
  world_.admin().fault({{"kind", "trickle"}, {"bytes", 8 * MiB}});  // per connection: moments come often
  sendNext();
  startAgent();
  for (int k = 0; k < count; ++k) {
    ++moments[strike(k)];
    scenario.injected();
    startAgent();
  }
  world_.admin().clearFaults();
  world_.admin().clearInjections();
  bool all = waitUntil(
      [&] {
        Json summary = world_.summary();
        return std::all_of(sent_.begin(), sent_.end(), [&](const Sent& s) { return deliveryComplete(summary, s.id); });
      },
      240s, 500ms);
  EXPECT_TRUE(all) << "the deliveries did not complete";
  EXPECT_EQ(world_.agents().size(), 1u) << "the agent ended after the last start";
  std::string where;
  for (const auto& [moment, n] : moments) where += (where.empty() ? "" : ", ") + std::to_string(n) + " " + moment;
  scenario.detail(std::to_string(count) + " " + faults + " (" + where + ") over " + std::to_string(sent_.size()) +
                  " deliveries of " + std::to_string(current().delivery.at("files").size()) + " files");
  std::int64_t lost = 0;
  for (const Sent& sent : sent_) lost += compareTrees(sources_, sent.folder);
  return lost;
}

std::vector<std::string> Deliveries::foreignNames() const {
  std::set<std::string> allowed;
  auto withParents = [&](fs::path path) {
    for (; !path.empty(); path = path.parent_path()) allowed.insert(path.generic_string());
  };
  for (const Sent& delivery : sent_) {
    for (const auto& file : delivery.delivery.at("files")) {
      fs::path path = delivery.folder.lexically_relative(root_) / file.at("relativePath").get<std::string>();
      withParents(path);
      allowed.insert(World::partialPath(path.parent_path(), file.at("id")).generic_string());
    }
  }
  std::vector<std::string> foreign;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root_, error), end; !error && it != end; it.increment(error)) {
    // The receipt's history is checked on its own (receiptFaults).
    if (it->path().filename() == "ascmhl" && allowed.count(it->path().parent_path().lexically_relative(root_).generic_string())) {
      it.disable_recursion_pending();
      continue;
    }
    if (!allowed.count(it->path().lexically_relative(root_).generic_string())) foreign.push_back(it->path());
  }
  return foreign;
}

std::int64_t matchingPrefix(const fs::path& source, const fs::path& copy, std::int64_t limit) {
  std::ifstream a(source, std::ios::binary), b(copy, std::ios::binary);
  std::int64_t same = 0;
  for (char x = 0, y = 0; same < limit && a.get(x) && b.get(y) && x == y;) ++same;
  return same;
}

Freeze::Freeze(World& world, bool insideCalls) : world_(world), pids_(world.agents()) {
  for (pid_t pid : pids_) ::kill(pid, SIGSTOP);
  for (pid_t pid : pids_) waitUntil([&] { return allThreadsStopped(pid, insideCalls); }, 5s, 1ms);
}

Freeze::~Freeze() {
  for (pid_t pid : pids_) ::kill(pid, SIGCONT);
}

void Freeze::kill() {
  for (pid_t pid : pids_) ::kill(pid, SIGKILL);
  pids_.clear();
  if (!world_.signalAgents(SIGKILL)) throw std::runtime_error("the agent outlived SIGKILL");
}

std::vector<std::string> waitingReasons(const Json& summary, const std::string& deliveryId) {
  std::vector<std::string> reasons;
  for (const auto& report : forDelivery(summary.at("progress"), deliveryId))
    if (report.at("state") == "waiting" && report.at("reason").is_string()) reasons.push_back(report.at("reason"));
  return reasons;
}

bool deliveryComplete(const Json& summary, const std::string& deliveryId) {
  auto delivery = entriesWith(summary.at("deliveries"), "id", deliveryId);
  return !delivery.empty() && delivery[0].at("completedFiles").size() == delivery[0].at("files").size();
}

}  // namespace trellisant::faults

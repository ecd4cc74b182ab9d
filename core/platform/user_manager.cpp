#include "platform/user_manager.h"

#include <signal.h>

#include <cerrno>
#include <cstdint>
#include <map>

#include "error.h"

namespace trellisant {
namespace {

constexpr const char* kService = "org.freedesktop.systemd1";
constexpr const char* kPath = "/org/freedesktop/systemd1";
constexpr const char* kManager = "org.freedesktop.systemd1.Manager";

void check(int result) {
  if (result < 0) throw systemError(-result);
}

// Job path → result ("done", "failed", …), as the manager's JobRemoved signals report them.
using FinishedJobs = std::map<std::string, std::string>;

int noteFinishedJob(sd_bus_message* signal, void* finished, sd_bus_error*) {
  std::uint32_t id = 0;
  const char *job = nullptr, *unit = nullptr, *result = nullptr;
  if (sd_bus_message_read(signal, "uoss", &id, &job, &unit, &result) >= 0)
    static_cast<FinishedJobs*>(finished)->insert_or_assign(job, result);
  return 0;
}

// Dispatches what arrives until `job` has finished; nothing when `wait` passes first.
std::optional<std::string> waitForJob(sd_bus* bus, const FinishedJobs& finished, const std::string& job,
                                      std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    if (auto found = finished.find(job); found != finished.end()) return found->second;
    int result = sd_bus_process(bus, nullptr);
    check(result);
    if (result > 0) continue;
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    result = sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()));
    if (result != -EINTR) check(result);
  }
}

}  // namespace

std::optional<UserManager> UserManager::connect(const std::optional<std::string>& address,
                                                std::chrono::milliseconds jobWait) {
  bus::Bus bus = bus::open(address, false);
  if (!bus) return std::nullopt;
  return UserManager(std::move(bus), jobWait);
}

bool UserManager::answers() {
  bus::Message ping = bus::newCall(bus_.get(), kService, kPath, "org.freedesktop.DBus.Peer", "Ping");
  return ping && bus::call(bus_.get(), ping.get()) != nullptr;
}

bus::Message UserManager::prepare(const char* member) {
  bus::Message call = bus::newCall(bus_.get(), kService, kPath, kManager, member);
  if (!call) throw systemError(ENOMEM);
  return call;
}

bus::Message UserManager::send(sd_bus_message* call, std::chrono::microseconds timeout) {
  std::string failure;
  bus::Message reply = bus::call(bus_.get(), call, &failure, timeout);
  if (!reply) throw PlatformError(failure);
  return reply;
}

std::string UserManager::unitFileState(const std::string& unit) {
  bus::Message call = prepare("GetUnitFileState");
  check(sd_bus_message_append(call.get(), "s", unit.c_str()));
  bus::Message reply = send(call.get());
  const char* state = nullptr;
  check(sd_bus_message_read(reply.get(), "s", &state));
  return state;
}

void UserManager::enableUnitFile(const std::string& unit) {
  bus::Message call = prepare("EnableUnitFiles");
  // files, runtime, force
  check(sd_bus_message_append(call.get(), "asbb", 1, unit.c_str(), 0, 0));
  send(call.get());
}

void UserManager::disableUnitFile(const std::string& unit) {
  bus::Message call = prepare("DisableUnitFiles");
  check(sd_bus_message_append(call.get(), "asb", 1, unit.c_str(), 0));
  send(call.get());
}

void UserManager::reload() {
  bus::Message call = prepare("Reload");
  send(call.get(), jobWait_);  // the manager answers once it has reread everything
}

void UserManager::runJob(const char* method, const std::string& unit) {
  // Listening before the job exists, so that its end cannot slip by.
  FinishedJobs finished;
  sd_bus_slot* slot = nullptr;
  check(sd_bus_match_signal(bus_.get(), &slot, nullptr, kPath, kManager, "JobRemoved", noteFinishedJob,
                            &finished));
  bus::Slot match(slot);
  bus::Message call = prepare(method);
  check(sd_bus_message_append(call.get(), "ss", unit.c_str(), "replace"));
  bus::Message reply = send(call.get());
  const char* path = nullptr;
  check(sd_bus_message_read(reply.get(), "o", &path));
  const std::string job = path;
  auto result = waitForJob(bus_.get(), finished, job, jobWait_);
  if (!result) {
    bus::Message kill = prepare("KillUnit");
    check(sd_bus_message_append(kill.get(), "ssi", unit.c_str(), "all", static_cast<std::int32_t>(SIGKILL)));
    send(kill.get());
    result = waitForJob(bus_.get(), finished, job, jobWait_);
  }
  if (!result) throw PlatformError("The systemd user manager did not finish its job for " + unit + " in time.");
  if (*result != "done" && *result != "skipped") throw PlatformError("Job for " + unit + " failed: " + *result + ".");
}

}  // namespace trellisant

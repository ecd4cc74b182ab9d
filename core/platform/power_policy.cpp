#include "platform/power_policy.h"

#include <fcntl.h>
#include <unistd.h>

#include <charconv>

#include "fileio.h"
#include "platform/bus.h"

namespace trellisant {
namespace {

using bus::Bus;
using bus::Message;
using bus::call;
using bus::newCall;

constexpr const char* kInhibitWhy = "Trellisant is ready for company footage";

std::string attribute(const std::filesystem::path& supply, const char* name) {
  auto text = readFile(supply / name).value_or("");
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool positive(const std::string& text) {
  unsigned long long value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && value > 0;
}

// A battery of the computer itself (not a mouse's or a headset's) that is present.
bool systemBatteryDischarging(const std::filesystem::path& supply) {
  if (attribute(supply, "scope") == "Device") return false;
  if (attribute(supply, "present") == "0") return false;
  return attribute(supply, "status") == "Discharging";
}

// logind's Inhibit; the returned descriptor is the lock. -1 when none was granted.
int logindInhibit(const std::optional<std::string>& address) {
  Bus bus = bus::open(address, true);
  if (!bus) return -1;
  Message message = newCall(bus.get(), bus::logind::service, bus::logind::managerPath,
                            bus::logind::manager, "Inhibit");
  if (!message || sd_bus_message_append(message.get(), "ssss", "idle", "Trellisant", kInhibitWhy,
                                        "block") < 0)
    return -1;
  Message reply = call(bus.get(), message.get());
  int fd = -1;
  if (!reply || sd_bus_message_read(reply.get(), "h", &fd) < 0 || fd < 0) return -1;
  // The reply owns its descriptor and closes it when freed; the lock lives in our copy.
  return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
}

// A window that cannot be evaluated (no calendar) counts as closed: update never fails.
bool inWindow(const Preferences& preferences, Date now) {
  try {
    return preferences.inWindow(now);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

SysfsPowerSource::SysfsPowerSource(std::filesystem::path root) : root_(std::move(root)) {}

bool SysfsPowerSource::onPower() {
  std::error_code error;
  std::filesystem::directory_iterator supplies(root_, error);
  if (error) return true;
  bool dischargingBattery = false;
  for (const auto& entry : supplies) {
    const auto& supply = entry.path();
    auto type = attribute(supply, "type");
    if (type.empty()) continue;
    if (type == "Battery") {
      dischargingBattery = dischargingBattery || systemBatteryDischarging(supply);
    } else if (positive(attribute(supply, "online"))) {
      return true;
    }
  }
  return !dischargingBattery;
}

// The portal keeps its inhibition while our connection stays open and the request is not
// closed, so the connection lives as long as the lock.
struct LogindAndPortalInhibitor::Portal {
  Bus bus;
  std::string handle;
  ~Portal() {
    if (Message close = newCall(bus.get(), "org.freedesktop.portal.Desktop", handle.c_str(),
                                "org.freedesktop.portal.Request", "Close"))
      call(bus.get(), close.get());
  }
};

LogindAndPortalInhibitor::LogindAndPortalInhibitor(Buses buses) : buses_(std::move(buses)) {}

LogindAndPortalInhibitor::~LogindAndPortalInhibitor() { release(); }

bool LogindAndPortalInhibitor::acquire() {
  if (fd_ < 0) fd_ = logindInhibit(buses_.system);
  if (!portal_) {
    if (Bus bus = bus::open(buses_.session, false)) {
      Message message = newCall(bus.get(), "org.freedesktop.portal.Desktop",
                                "/org/freedesktop/portal/desktop", "org.freedesktop.portal.Inhibit",
                                "Inhibit");
      constexpr std::uint32_t kSuspend = 4;
      Message reply;
      if (message && sd_bus_message_append(message.get(), "su", "", kSuspend) >= 0 &&
          sd_bus_message_append(message.get(), "a{sv}", 1, "reason", "s", kInhibitWhy) >= 0)
        reply = call(bus.get(), message.get());
      const char* handle = nullptr;
      if (reply && sd_bus_message_read(reply.get(), "o", &handle) >= 0 && handle)
        portal_.reset(new Portal{std::move(bus), handle});
    }
  }
  return fd_ >= 0 || portal_ != nullptr;
}

void LogindAndPortalInhibitor::release() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  portal_.reset();
}

PowerPolicy::PowerPolicy(std::shared_ptr<PowerSource> source,
                         std::shared_ptr<SleepInhibitor> inhibitor)
    : source_(std::move(source)), inhibitor_(std::move(inhibitor)) {}

PowerPolicy::~PowerPolicy() {
  if (holding_) inhibitor_->release();
}

bool PowerPolicy::onPower() const { return source_->onPower(); }

void PowerPolicy::update(const Preferences& preferences, bool downloading, Date now) {
  std::lock_guard lock(mutex_);
  bool wanted = preferences.receiving && source_->onPower() &&
                (downloading || (preferences.overnight && inWindow(preferences, now)));
  if (wanted && !holding_) {
    holding_ = inhibitor_->acquire();
  } else if (!wanted && holding_) {
    inhibitor_->release();
    holding_ = false;
  }
}

bool PowerPolicy::holding() const {
  std::lock_guard lock(mutex_);
  return holding_;
}

}  // namespace trellisant

// The settings the window has, for computers without one.
#include <charconv>
#include <cmath>
#include <sstream>

#include "commands.h"
#include "control/receiving_control.h"
#include "settings/preferences.h"

namespace trellisant::ctl {
namespace {

bool onOff(const std::string& word, const char* what) {
  if (word == "on") return true;
  if (word == "off") return false;
  throw MisuseError(std::string("Say on or off: trellisantctl ") + what + " on|off");
}

std::int64_t hour(const std::string& text) {
  std::int64_t value = -1;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 0 || value > 23)
    throw MisuseError("Give an hour from 0 to 23: " + text);
  return value;
}

std::string hourText(std::int64_t hour) { return std::to_string(hour) + ":00"; }

}  // namespace

void bandwidth(CtlParts& parts, const std::string& mbps) {
  double value = 0;
  auto [end, error] = std::from_chars(mbps.data(), mbps.data() + mbps.size(), value);
  if (error != std::errc() || end != mbps.data() + mbps.size() || !std::isfinite(value))
    throw MisuseError("Give the limit in megabits per second, 0 for unlimited: " + mbps);
  Preferences saved = ReceivingControl::edit([&](Preferences& p) { p.setBandwidth(value); });
  if (saved.bandwidthMbps == 0) {
    parts.out << "Bandwidth limit: unlimited\n";
  } else {
    std::ostringstream text;
    text << saved.bandwidthMbps;
    parts.out << "Bandwidth limit: " << text.str() << " Mbps\n";
  }
}

void overnight(CtlParts& parts, const std::vector<std::string>& arguments) {
  if (arguments.empty()) throw MisuseError("Say on or off: trellisantctl overnight on|off [--from H --until H]");
  bool on = onOff(arguments[0], "overnight");
  std::optional<std::int64_t> from, until;
  for (std::size_t i = 1; i < arguments.size(); i += 2) {
    if (i + 1 >= arguments.size()) throw MisuseError("Give an hour after " + arguments[i] + ".");
    if (arguments[i] == "--from") from = hour(arguments[i + 1]);
    else if (arguments[i] == "--until") until = hour(arguments[i + 1]);
    else throw MisuseError("Unknown option: " + arguments[i]);
  }
  Preferences saved = ReceivingControl::edit([&](Preferences& p) {
    p.overnight = on;
    if (from) p.startHour = *from;
    if (until) p.endHour = *until;
  });
  parts.out << (saved.overnight ? "Overnight: on, from " + hourText(saved.startHour) + " until " +
                                        hourText(saved.endHour) + " (" + saved.timeZone + ")"
                                  : std::string("Overnight: off"))
              << "\n";
}

void battery(CtlParts& parts, const std::string& onOrOff) {
  bool on = onOff(onOrOff, "battery");
  ReceivingControl::edit([&](Preferences& p) { p.allowBattery = on; });
  parts.out << (on ? "Downloads may run on battery.\n" : "Downloads wait for power.\n");
}

}  // namespace trellisant::ctl

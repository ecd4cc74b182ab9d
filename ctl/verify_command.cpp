// trellisantctl verify: received folders read again against their receipts (ASC MHL).

#include <chrono>
#include <cstdio>

#include "commands.h"
#include "error.h"
#include "json.h"
#include "receipt/verify.h"

namespace trellisant::ctl {
namespace {

constexpr const char* kNoMatch = "Some received files do not match their receipt.";

// Bytes read per second, on one line kept up to date while a terminal watches.
class Speed {
 public:
  explicit Speed(CtlParts& parts, bool shown) : parts_(parts), shown_(shown) {}
  void add(std::int64_t bytes) {
    if (!shown_) return;
    bytes_ += bytes;
    auto now = std::chrono::steady_clock::now();
    if (now - shownAt_ < std::chrono::milliseconds(250)) return;
    double seconds = std::chrono::duration<double>(now - started_).count();
    char line[64];
    std::snprintf(line, sizeof line, "\r\033[Kreading: %.1f MB/s", seconds > 0 ? bytes_ / seconds / 1e6 : 0.0);
    parts_.out << line << std::flush;
    shownAt_ = now;
  }
  void clear() {
    if (shown_) parts_.out << "\r\033[K" << std::flush;
  }

 private:
  CtlParts& parts_;
  bool shown_;
  double bytes_ = 0;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now(), shownAt_ = started_;
};

}  // namespace

void verify(CtlParts& parts, const std::vector<std::string>& arguments) {
  bool json = false;
  std::vector<std::filesystem::path> folders;
  for (const auto& argument : arguments) {
    if (argument == "--json") json = true;
    else if (argument.starts_with("-")) throw MisuseError("verify takes only a folder and --json.");
    else folders.emplace_back(argument);
  }
  if (folders.size() > 1) throw MisuseError("Name one folder: trellisantctl verify [FOLDER] [--json]");
  if (folders.empty()) {
    for (const auto& delivery : parts.receivedHistory(ReceivedHistory::kept)) folders.push_back(delivery.folder);
    if (folders.empty()) throw MisuseError("No delivery received yet: name the folder to check: trellisantctl verify FOLDER");
  }
  bool all = true;
  Json report = Json::array();
  for (const auto& folder : folders) {
    Speed speed(parts, parts.terminal && !json);
    FolderCheck check = checkFolder(folder, [&](std::int64_t bytes) { speed.add(bytes); }, parts.stop);
    speed.clear();
    all = all && check.matches();
    if (json) {
      report.push_back({{"folder", folder.string()}, {"manifest", check.manifest}, {"files", check.files},
                        {"bytes", check.bytes}, {"missing", check.missing}, {"changed", check.changed},
                        {"unexpected", check.unexpected}, {"matches", check.matches()}});
      continue;
    }
    for (const auto& [word, paths] : {std::pair{"missing", &check.missing}, std::pair{"changed", &check.changed},
                                      std::pair{"unexpected", &check.unexpected}})
      for (const auto& path : *paths) parts.out << word << ": " << path << "\n";
    std::size_t problems = check.missing.size() + check.changed.size() + check.unexpected.size();
    parts.out << folder.string() << ": " << check.files << " files, " << check.bytes << " bytes read against "
                << check.manifest << ": "
                << (problems == 0 ? std::string("all match") : std::to_string(problems) + " problems") << "\n";
  }
  if (json) parts.out << Json{{"folders", report}, {"matches", all}}.dump(2) << "\n";
  if (!all) throw TrellisantError(kNoMatch);
}

}  // namespace trellisant::ctl

#include "hostile_faults.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "download/file_safety.h"
#include "settings/paths.h"
#include "store.h"
#include "text.h"

namespace trellisant::faults {

using e2e::waitUntil;
using e2e::World;
using namespace std::chrono_literals;

namespace {

// The world's own working folders, which the run may change freely.
std::vector<std::string> ownFolders(const World& world) {
  fs::path home = fs::path(std::getenv("HOME")).lexically_relative(world.folder());
  return {"logs", "sources", "tls", ".world", "runtime", "bin",
          (home / ".local/share/Trellisant").string(), (home / ".config").string()};
}

}  // namespace

HostileRun::HostileRun(World& world, fs::path root) : world_(world), root_(std::move(root)) {
  before_ = filesBelow(world_.folder(), ownFolders(world_));
}

void HostileRun::send(std::vector<HostileCase> cases) {
  for (auto& what : cases) {
    SentCase sent;
    sent.sources = world_.makeSources("hostile-" + std::to_string(sent_.size() + 1), {what.file});
    std::string name = what.name.empty() ? what.label : what.name;
    sent.delivery = world_.admin().send(
        sent.sources, sandbox::DeliveryDescription{"", what.company, "Feature", name}, what.announcements);
    sent.id = sent.delivery.at("id");
    // Where the agent must put it, names made safe as it makes them.
    sent.folder = root_ / FileSafety::label(what.company) / "Feature" /
                  (prefixCharacters(sent.delivery.at("transferId").get<std::string>(), 8) + " " +
                   FileSafety::label(name));
    if (what.inject) what.inject(world_, sent.delivery);
    sent.what = std::move(what);
    sent_.push_back(std::move(sent));
  }
}

// Waits until no case is `pending` any more; names the ones that still were at `limit`.
void HostileRun::waitForEach(std::function<bool(const Json&, const SentCase&)> pending,
                             std::chrono::milliseconds limit, const std::string& failure) {
  std::vector<std::string> labels;
  bool all = waitUntil(
      [&] {
        Json summary = world_.summary();
        labels.clear();
        for (const auto& sent : sent_)
          if (pending(summary, sent)) labels.push_back(sent.what.label);
        return labels.empty();
      },
      limit, 250ms);
  if (!all) {
    std::string named;
    for (const auto& label : labels) named += " \"" + label + "\"";
    ADD_FAILURE() << failure << named << "; last status: " << statusMessage(world_);
  }
}

void HostileRun::waitForReasons(std::chrono::milliseconds limit) {
  waitForEach(
      [](const Json& summary, const SentCase& sent) {
        return !sent.what.message.empty() && waitingReasons(summary, sent.id).empty();
      },
      limit, "no reason given for");
}

void HostileRun::waitForCompletion(std::chrono::milliseconds limit) {
  waitForEach(
      [](const Json& summary, const SentCase& sent) {
        return sent.what.completes && !deliveryComplete(summary, sent.id);
      },
      limit, "not completed:");
}

void HostileRun::check(Scenario& scenario) {
  Json summary = world_.summary();
  for (const auto& sent : sent_) {
    const HostileCase& what = sent.what;
    bool good = true;
    if (!what.message.empty()) {
      auto reasons = waitingReasons(summary, sent.id);
      std::string first = reasons.empty() ? "(none)" : reasons.front();
      EXPECT_EQ(first, what.message) << what.label;
      good = first == what.message;
    }
    if (what.completes) {
      bool complete = deliveryComplete(summary, sent.id);
      EXPECT_TRUE(complete) << what.label;
      std::string path = sent.delivery.at("files")[0].at("relativePath");
      bool same = e2e::sameBytes(sent.sources / what.file.relativePath, sent.folder / path);
      EXPECT_TRUE(same) << what.label << ": " << (sent.folder / path);
      if (!same) scenario.lost(what.file.size);
      good = good && complete && same;
    }
    scenario.injected();
    if (good) scenario.survived();
  }
}

std::vector<std::string> HostileRun::strayFiles() {
  std::vector<std::string> stray;
  fs::path rootRelative = root_.lexically_relative(world_.folder());
  std::set<std::string> explained;
  for (const auto& sent : sent_) {
    for (const auto& file : sent.delivery.at("files")) {
      fs::path path = (sent.folder / file.at("relativePath").get<std::string>()).lexically_normal();
      // A path that climbs out of its delivery's folder explains nothing.
      if (path.string().rfind(sent.folder.lexically_normal().string() + "/", 0) != 0) continue;
      explained.insert(path.lexically_normal().lexically_relative(world_.folder()).string());
      explained.insert((path.parent_path() / (".trellisant-" + file.at("id").get<std::string>() + ".partial"))
                           .lexically_normal()
                           .lexically_relative(world_.folder())
                           .string());
    }
  }
  for (const auto& file : filesBelow(world_.folder(), ownFolders(world_))) {
    if (before_.count(file)) continue;
    bool inRoot = file.rfind(rootRelative.string() + "/", 0) == 0;
    if (!inRoot || !explained.count(file)) stray.push_back(file);
  }
  return stray;
}

Json capabilityAnswer(const World& world, const Json& delivery, const Json& changes) {
  (void)world;
  const Json& file = delivery.at("files")[0];
  std::string deliveryId = delivery.at("id"), fileId = file.at("id");
  Json answer = {{"url", "https://storage.googleapis.com/files/" + deliveryId + "/" + fileId},
                 {"headers", {{"X-Sandbox-Signature", sandbox::capabilitySignature(deliveryId, fileId)}}},
                 {"size", std::to_string(file.at("size").get<std::int64_t>())},
                 {"fingerprint", file.at("fingerprint")}};
  for (const auto& [key, value] : changes.items()) answer[key] = value;
  return answer;
}

Json deliveryInjection(const Json& delivery, const std::string& method, const std::string& leaf,
                       int status, const std::string& body, int times) {
  return {{"method", method},
          {"path", "/api/v1/native/deliveries/" + delivery.at("id").get<std::string>() + "/" + leaf},
          {"status", status},
          {"body", body},
          {"times", times}};
}

}  // namespace trellisant::faults

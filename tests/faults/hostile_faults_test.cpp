// A hostile or broken company server or storage provider. Many small deliveries, each with its
// own fault, are sent together; each ends in its own message, nothing is written outside its
// delivery's folder, the bytes already saved are kept, and the agent goes on serving: once the
// servers behave, every delivery that can complete does.

#include <gtest/gtest.h>

#include <cstdlib>

#include "download/file_safety.h"
#include "encoding.h"
#include "fault_tools.h"
#include "store.h"
#include "text.h"

namespace trellisant::faults {
namespace {

using Inject = std::function<void(World&, const Json& delivery)>;

// One delivery that meets one fault.
struct HostileCase {
  HostileCase(std::string label, std::string message = "", bool completes = true, Inject inject = {},
              Json announcements = Json::object(), SourceFile file = {"clip.mov", 256 * 1024})
      : label(std::move(label)), message(std::move(message)), completes(completes), inject(std::move(inject)),
        announcements(std::move(announcements)), file(std::move(file)) {}
  std::string label;
  std::string message;  // the reason the agent must give first; empty when none is expected
  bool completes = true;  // once the servers behave again
  Inject inject;          // makes the servers misbehave for this delivery, once it is sent
  // What the server announces instead of the truth ("transferId", "files", …; see AdminServer).
  Json announcements;
  SourceFile file;
  std::string company = "Acme";
  std::string name;      // of the delivery; the label when empty
  std::string existing;  // footage at the destination before the delivery; must stay
};

struct SentCase {
  HostileCase what{""};
  Json delivery;
  std::string id;
  fs::path sources;
  fs::path folder;  // its destination
};

// The world's own working folders, which the run may change freely.
std::vector<std::string> ownFolders(const World& world) {
  fs::path home = fs::path(std::getenv("HOME")).lexically_relative(world.folder());
  return {"logs", "sources", "tls", ".world", "runtime", "bin", (home / ".local/share/Trellisant").string(),
          (home / ".config").string()};
}

class HostileRun {
 public:
  HostileRun(World& world, fs::path root)
      : world_(world), root_(std::move(root)), before_(filesBelow(world.folder(), ownFolders(world))) {}
  const std::vector<SentCase>& sent() const { return sent_; }

  // Sends every case as its own delivery and applies its injection.
  void send(std::vector<HostileCase> cases) {
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
      if (!what.existing.empty()) {
        fs::create_directories(sent.folder);
        testing::writeText(sent.folder / what.file.relativePath, what.existing);
      }
      if (what.inject) what.inject(world_, sent.delivery);
      sent.what = std::move(what);
      sent_.push_back(std::move(sent));
    }
  }

  // Waits until no case is `pending`; names the ones that still were at `limit`.
  void waitForEach(bool reasons, std::chrono::milliseconds limit) {
    std::string labels;
    bool all = waitUntil(
        [&] {
          Json summary = world_.summary();
          labels.clear();
          for (const auto& sent : sent_) {
            bool pending = reasons ? !sent.what.message.empty() && waitingReasons(summary, sent.id).empty()
                                   : sent.what.completes && !deliveryComplete(summary, sent.id);
            if (pending) labels += " \"" + sent.what.label + "\"";
          }
          return labels.empty();
        },
        limit, 250ms);
    if (!all) ADD_FAILURE() << (reasons ? "no reason given for" : "not completed:") << labels
                            << "; last status: " << statusMessage(world_);
  }

  // Checks each case's reason and, for those that completed, their files; counts survivals.
  void check(Scenario& scenario) {
    Json summary = world_.summary();
    for (const auto& sent : sent_) {
      const HostileCase& what = sent.what;
      auto reasons = waitingReasons(summary, sent.id);
      std::string first = reasons.empty() ? "(none)" : reasons.front();
      EXPECT_TRUE(what.message.empty() || first == what.message) << what.label << ": " << first;
      bool good = what.message.empty() || first == what.message;
      fs::path path = sent.folder / sent.delivery.at("files")[0].at("relativePath").get<std::string>();
      if (what.completes) {
        bool complete = deliveryComplete(summary, sent.id), same = sameBytes(sent.sources / what.file.relativePath, path);
        EXPECT_TRUE(complete && same) << what.label << ": " << path;
        if (!same) scenario.lost(what.file.size);
        good = good && complete && same;
      }
      if (!what.existing.empty()) {
        EXPECT_EQ(testing::readText(path), what.existing) << what.label;
        good = good && testing::readText(path) == what.existing;
      }
      scenario.injected();
      if (good) scenario.survived();
    }
  }

  // Files that appeared since the run began outside the download folder (and the world's own
  // folders), and files in the download folder that no delivery explains.
  std::vector<std::string> strayFiles() {
    std::set<std::string> explained;
    auto add = [&](const fs::path& path) {
      explained.insert(path.lexically_normal().lexically_relative(world_.folder()).string());
    };
    for (const auto& sent : sent_) {
      for (const auto& file : sent.delivery.at("files")) {
        fs::path path = (sent.folder / file.at("relativePath").get<std::string>()).lexically_normal();
        // A path that climbs out of its delivery's folder explains nothing.
        if (path.string().rfind(sent.folder.lexically_normal().string() + "/", 0) != 0) continue;
        add(path);
        add(World::partialPath(path.parent_path(), file.at("id")));
      }
    }
    std::vector<std::string> stray;
    for (const auto& file : filesBelow(world_.folder(), ownFolders(world_)))
      if (!before_.count(file) && !explained.count(file)) stray.push_back(file);
    return stray;
  }

 private:
  World& world_;
  fs::path root_;
  std::set<std::string> before_;
  std::vector<SentCase> sent_;
};

// A company injection on one of the delivery's own requests ("lease", "manifest", …).
Inject answering(std::string method, std::string leaf, int status, std::string body, int times = -1) {
  return [=](World& world, const Json& delivery) {
    world.admin().inject({{"method", method},
                          {"path", "/api/v1/native/deliveries/" + delivery.at("id").get<std::string>() + "/" + leaf},
                          {"status", status}, {"body", body}, {"times", times}});
  };
}

// A capability answer for the delivery's first file: the true one with `changes` applied.
Inject onCapability(const std::function<Json(const Json& delivery)>& changes) {
  return [=](World& world, const Json& delivery) {
    const Json& file = delivery.at("files")[0];
    std::string deliveryId = delivery.at("id"), fileId = file.at("id");
    Json answer = {{"url", "https://storage.googleapis.com/files/" + deliveryId + "/" + fileId},
                   {"headers", {{"X-Sandbox-Signature", sandbox::capabilitySignature(deliveryId, fileId)}}},
                   {"size", std::to_string(file.at("size").get<std::int64_t>())},
                   {"fingerprint", file.at("fingerprint")}};
    Json changed = changes(answer);
    for (const auto& [key, value] : changed.items()) answer[key] = value;
    answering("POST", "capability", 200, answer.dump())(world, delivery);
  };
}
Inject onCapability(const Json& changes) {
  return onCapability([=](const Json&) { return changes; });
}

// Provider faults for the delivery's file, applied in this order.
Inject provider(const std::function<std::vector<Json>(const std::string& url)>& make) {
  return [=](World& world, const Json& delivery) {
    std::string path = "/files/" + delivery.at("id").get<std::string>() + "/" +
                       delivery.at("files")[0].at("id").get<std::string>();
    for (Json fault : make(path)) {
      fault["fileId"] = delivery.at("files")[0].at("id");
      world.admin().fault(fault);
    }
  };
}
Inject provider(const Json& fault) {
  return provider([=](const std::string&) { return std::vector<Json>{fault}; });
}

const char* const kUnsafe = "This file has an unsafe destination name.";
const char* const kFormat = "The data couldn’t be read because it isn’t in the correct format.";
const char* const kInterrupted = "Your connection was interrupted. Trellisant will retry.";
const char* const kRevoked = "Your sign in is no longer valid. Sign in again in Trellisant.";
const char* const kSize = "This file has an invalid size.";
const char* const kAddress = "The storage provider returned an unsupported download address.";
const char* const kRange = "The provider did not return the requested file range. Saved footage was preserved.";
const char* const kUnexpected = "The provider returned unexpected file data.";
const char* const kRedirect = "A download redirected to an unsupported address.";

std::string notA(const char* field, const char* type) {
  return std::string("The data couldn’t be read because “") + field + "” is not a " + type + ".";
}

HostileCase announced(std::string label, Json announcements, std::string message) {
  return {std::move(label), std::move(message), false, {}, std::move(announcements)};
}
HostileCase named(std::string company, std::string name) {
  HostileCase c("names with controls and slashes");
  c.company = std::move(company);
  c.name = std::move(name);
  return c;
}
Json announceFile(const Json& changes) {
  return Json{{"files", {{"clip.mov", changes}}}};
}

std::vector<HostileCase> serverCases(const std::string& escape) {
  std::string checksumFailed = "File verification failed. Trellisant will download this file again.";
  return {
      // What the server announces: these never complete.
      announced("path traversal", announceFile({{"relativePath", "../../../../../../" + escape}}), kUnsafe),
      announced("absolute path", announceFile({{"relativePath", "/tmp/" + escape}}), kUnsafe),
      announced("control characters in a path", announceFile({{"relativePath", "Day\n1/clip\u0007.mov"}}), kUnsafe),
      announced("file id that climbs", announceFile({{"id", "../../" + escape}}), kUnsafe),
      announced("file id with a slash", announceFile({{"id", "a/b"}}), kUnsafe),
      announced("file id too long for a file name", announceFile({{"id", std::string(240, 'i')}}), kUnsafe),
      announced("transfer id that climbs", {{"transferId", "../../.."}}, kUnsafe),
      announced("invalid size", announceFile({{"size", "-5"}}), kSize),
      announced("size that is no number", announceFile({{"size", "262144 bytes"}}), kSize),
      announced("wrong checksum", announceFile({{"checksum", std::string(64, '0')}}), checksumFailed),
      named("Ac/me\u0001:", "Day\t1/2"),
      // What the server answers: these complete once it answers properly again.
      {"malformed lease", kFormat, true, answering("POST", "lease", 200, "{\"leaseUntil\": ")},
      {"wrong types in the file list", notA("id", "string"), true,
       answering("GET", "manifest", 200,
                 R"({"files": [{"id": 7, "relativePath": "clip.mov", "size": "1", "fingerprint": "f"}], "total": 1})")},
      {"short file list", "The file list is incomplete. Trellisant will retry.", true,
       answering("GET", "manifest", 200, R"({"files": [], "total": 0})")},
      {"capability to a foreign host", kAddress, true, onCapability({{"url", "https://downloads.example.com/clip.mov"}})},
      {"capability over plain http", kAddress, true,
       onCapability([](const Json& answer) { return Json{{"url", "http" + answer.at("url").get<std::string>().substr(5)}}; })},
      {"headers smuggled into a capability",
       "The data couldn’t be read because “headers” holds a name or value that cannot be sent.", true,
       onCapability([](const Json& answer) {
         std::string signature = answer.at("headers").at("X-Sandbox-Signature");
         return Json{{"headers", {{"X-Sandbox-Signature", signature + "\r\nX-Injected: yes"}}}};
       })},
      {"changed fingerprint", "The original footage changed. Request a new transfer.", true,
       onCapability({{"fingerprint", "another-version"}})},
      {"wrong types in a capability", notA("url", "string"), true, onCapability({{"url", 5}})},
      {"5xx storm", kInterrupted, true, answering("POST", "", 502, "<html><body>Bad gateway</body></html>")},
      {"the server's own refusal", "This delivery was withdrawn by its sender.", true,
       answering("POST", "capability", 403, R"({"error": "This delivery was withdrawn by its sender."})")},
      {"report refused once", kInterrupted, true, answering("POST", "file-complete", 503, "", 1)},
      {"wrong types in the report's answer", notA("ok", "boolean"), true,
       answering("POST", "file-complete", 200, R"({"ok": "yes"})")},
      {"oversized answer", "The server sent more data than expected.", true,
       answering("POST", "capability", 200, std::string(24 * MiB, ' ') + "{")},
  };
}

TEST(Faults, HostileServer) {
  Scenario scenario("hostile-server");
  World world;
  world.signIn();
  HostileRun run(world, world.chooseFolder());
  const std::string escape = "trellisant-escape-" + makeUUID() + ".mov";

  // Broken answers at the start of a pass, one pass each, before there is anything to receive:
  // the heartbeat comes first in every pass, the delivery list after it.
  struct PassFault {
    std::string method, path, body;
    int status;
    std::string message;
  };
  const std::string list = "/api/v1/native/deliveries";
  std::vector<PassFault> lists = {{"GET", list, "{\"deliveries\": [", 200, kFormat}};
  if (faultOptions().thorough) {
    lists.insert(lists.begin(), {"POST", "/api/v1/native/heartbeat", R"({"ok": "yes"})", 200, notA("ok", "boolean")});
    lists.push_back({"GET", list, R"({"deliveries": [{"id": 7}]})", 200, notA("id", "string")});
    lists.push_back({"GET", list, R"({"error": "Down for maintenance."})", 503, "Down for maintenance."});
  }
  for (const auto& fault : lists)
    world.admin().inject({{"method", fault.method}, {"path", fault.path}, {"status", fault.status},
                          {"body", fault.body}, {"times", 1}});
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s));
  const auto agents = world.agents();
  for (const auto& fault : lists) {
    scenario.injected();
    waitForAttention(world, {fault.message}, 30s);
  }

  // One delivery per fault, and a good one after them that loses its sign-in on the way.
  auto cases = serverCases(escape);
  auto trickle = [](std::int64_t bytes) {
    return [bytes](World& world, const Json& delivery) {
      world.admin().fault({{"kind", "trickle"}, {"bytes", bytes}, {"fileId", delivery.at("files")[0].at("id")}});
    };
  };
  if (faultOptions().thorough) {
    // Progress is reported at the batch's first tick (5 s), so this file arrives slowly.
    cases.push_back({"malformed progress answer", kFormat, true, [=](World& world, const Json& delivery) {
                       trickle(256 * 1024)(world, delivery);
                       answering("POST", "progress", 200, "{\"ok\": tru")(world, delivery);
                     }, Json::object(), {"clip.mov", 2 * MiB}});
  }
  cases.push_back({"good delivery", "", true, trickle(4 * MiB), Json::object(), {"clip.mov", 16 * MiB}});
  run.send(cases);
  run.waitForEach(true, 60s);
  const SentCase& last = run.sent().back();
  ASSERT_TRUE(waitUntil([&] { return World::partialSize(last.folder, last.delivery.at("files")[0].at("id")) >= 2 * MiB; },
                        60s))
      << "the good delivery did not start; last status: " << statusMessage(world);
  world.admin().revokeTokens();
  scenario.injected();
  waitForAttention(world, {kRevoked}, 30s);

  // The servers behave again and the user signs in anew.
  world.admin().clearInjections();
  world.admin().clearFaults();
  world.signIn();
  run.waitForEach(false, 120s);
  EXPECT_EQ(world.agents(), agents) << "the agent ended";
  run.check(scenario);
  bool served = deliveryComplete(world.summary(), last.id);
  if (served) scenario.survived(static_cast<int>(lists.size()) + 1);  // the lists and the revocation

  auto stray = run.strayFiles();
  for (const auto& file : stray) ADD_FAILURE() << "written where it must not be: " << file;
  EXPECT_FALSE(fs::exists("/tmp/" + escape));
  scenario.detail(std::to_string(run.sent().size() - 1) + " hostile deliveries, " + std::to_string(lists.size()) +
                  " broken pass answers and a revocation; " + std::to_string(stray.size()) +
                  " files outside their place; the good delivery afterwards " + (served ? "completed" : "did not complete"));
}

std::vector<HostileCase> providerCases() {
  auto redirect = [](std::string host, int status = 302, int times = 0) {
    return [=](const std::string& path) {
      Json fault = {{"kind", "redirect"}, {"status", status}, {"location", host + path}};
      if (times > 0) fault["times"] = times;
      return fault;
    };
  };
  std::vector<HostileCase> cases = {
      {"whole file instead of the range", kRange, true, provider({{"kind", "whole-file"}})},
      {"wrong total in Content-Range", kRange, true, provider({{"kind", "wrong-total"}})},
      {"unknown total in Content-Range", kRange, true, provider({{"kind", "star-total"}})},
      {"compressed body", kRange, true, provider({{"kind", "gzip"}})},
      {"5xx storm", kRange, true, provider({{"kind", "server-error"}, {"status", 503}})},
      {"one byte too many", kUnexpected, true, provider({{"kind", "extra-byte"}})},
      {"oversized body", kUnexpected, true, provider({{"kind", "extra-byte"}, {"bytes", 4 * MiB}})},
      {"connection closed early", "The download ended early. Trellisant will resume it.", true,
       provider({{"kind", "close-after"}, {"bytes", 300 * 1024}})},
      {"redirect to a foreign host", kRedirect, true,
       provider({{"kind", "redirect"}, {"location", "https://downloads.example.com/clip"}})},
      {"redirect to plain http", kRedirect, true,
       provider([=](const std::string& path) { return std::vector<Json>{redirect("http://storage.googleapis.com")(path)}; })},
      {"redirect chain that leaves the providers", kRedirect, true, provider([=](const std::string& path) {
         return std::vector<Json>{redirect("https://sandbox.s3.amazonaws.com", 302, 1)(path),
                                  redirect("https://127.0.0.1", 307)("/clip")};
       })},
      {"endless redirects", kRedirect, true, provider([=](const std::string& path) {
         return std::vector<Json>{redirect("https://sandbox.cloudfront.net", 301)(path)};
       })},
      {"footage already at the destination", "A file already exists at this destination. Choose another folder.",
       false},
  };
  cases.back().existing = "The editor's own cut, not to be replaced.\n";
  // Headers, then a byte every 2 seconds: under the 1 byte per second the agent waits for.
  if (faultOptions().thorough)
    cases.push_back({"slow-loris", "Operation too slow. Less than 1 bytes/sec transferred the last 45 seconds", true,
                     provider({{"kind", "slow-loris"}, {"bytes", 2000}})});
  for (auto& c : cases)
    if (c.completes) c.file.size = MiB;
  return cases;
}

TEST(Faults, HostileProvider) {
  Scenario scenario("hostile-provider");
  World world;
  world.signIn();
  HostileRun run(world, world.chooseFolder());
  run.send(providerCases());
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s));
  const auto agents = world.agents();
  run.waitForEach(true, faultOptions().thorough ? 150s : 60s);

  // Nothing the provider sent beyond what the journal confirmed counts: the partial files keep
  // at least the confirmed bytes, and nothing was written for answers that were refused.
  for (const auto& sent : run.sent()) {
    std::string fileId = sent.delivery.at("files")[0].at("id");
    auto row = world.journal(sent.id, fileId);
    auto partial = World::partialSize(sent.folder, fileId).value_or(0);
    if (row && row->second == "partial") {
      EXPECT_GE(partial, row->first) << sent.what.label;
      EXPECT_LE(partial, sent.what.file.size) << sent.what.label;
    }
  }

  world.admin().clearFaults();
  run.waitForEach(false, 120s);
  EXPECT_EQ(world.agents(), agents) << "the agent ended";
  run.check(scenario);
  auto stray = run.strayFiles();
  for (const auto& file : stray) ADD_FAILURE() << "written where it must not be: " << file;
  scenario.detail(std::to_string(run.sent().size()) + " provider faults, each in its own delivery; " +
                  std::to_string(stray.size()) + " files outside their place");
}

}  // namespace
}  // namespace trellisant::faults

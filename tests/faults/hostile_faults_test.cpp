// A hostile or broken company server or storage provider. Many small deliveries, each with its
// own fault, are sent together; each ends in its own message, nothing is written outside its
// delivery's folder, the bytes already saved are kept, and the agent goes on serving: once the
// servers behave, every delivery that can complete does.

#include <gtest/gtest.h>

#include "download/file_safety.h"
#include "encoding.h"
#include "fault_tools.h"
#include "text.h"

namespace trellisant::faults {
namespace {

using Inject = std::function<void(World&, const Json& delivery)>;

// One delivery of one file, clip.mov, that meets one fault.
struct HostileCase {
  HostileCase(std::string label, std::string message = "", bool completes = true, Inject inject = {},
              Json announcements = Json::object(), std::int64_t size = 256 * 1024)
      : label(std::move(label)), message(std::move(message)), completes(completes), inject(std::move(inject)),
        announcements(std::move(announcements)), size(size) {}
  std::string label;
  std::string message;  // the reason the agent must give first; empty when none is expected
  bool completes;       // once the servers behave again
  Inject inject;        // makes the servers misbehave for this delivery, once it is sent
  // What the server announces instead of the truth ("transferId", "files", …; see AdminServer).
  Json announcements;
  std::int64_t size;
  std::string company = "Acme";
  std::string name;      // of the delivery; the label when empty
  std::string existing;  // footage at the destination before the delivery; must stay
  Json delivery;         // as sent
  fs::path sources, folder;
};

class HostileRun {
 public:
  explicit HostileRun(World& world)
      : world_(world), root_(world.chooseFolder()), before_(filesBelow(world.folder(), ownFolders())) {}
  const std::vector<HostileCase>& sent() const { return sent_; }

  // Sends every case as its own delivery and applies its injection, then enables receiving. It
  // is paused meanwhile: an agent that saw a delivery before its injection would receive it
  // unharmed.
  void send(std::vector<HostileCase> cases) {
    world_.ctlOk({"pause"});
    for (auto& c : cases) {
      c.sources = world_.makeSources("hostile-" + std::to_string(sent_.size() + 1), {{"clip.mov", c.size}});
      std::string name = c.name.empty() ? c.label : c.name;
      c.delivery = world_.admin().send(c.sources, {"", c.company, "Feature", name}, c.announcements);
      // Where the agent must put it, names made safe as it makes them.
      c.folder = root_ / FileSafety::label(c.company) / "Feature" /
                 (prefixCharacters(c.delivery.at("transferId").get<std::string>(), 8) + " " + FileSafety::label(name));
      if (!c.existing.empty()) {
        fs::create_directories(c.folder);
        testing::writeText(c.folder / "clip.mov", c.existing);
      }
      if (c.inject) c.inject(world_, c.delivery);
      sent_.push_back(std::move(c));
    }
    world_.ctlOk({"enable"});
  }

  // Waits until each case gave a reason (`reasons`) or completed; names those that did not.
  // Limits, not expectations: under AddressSanitizer on two busy cores the reasons alone took
  // over a minute.
  void waitForEach(bool reasons, std::chrono::milliseconds limit) {
    std::string labels;
    waitUntil(
        [&] {
          Json summary = world_.summary();
          labels.clear();
          for (const auto& c : sent_)
            if (reasons ? !c.message.empty() && waitingReasons(summary, c.delivery.at("id")).empty()
                        : c.completes && !deliveryComplete(summary, c.delivery.at("id")))
              labels += " \"" + c.label + "\"";
          return labels.empty();
        },
        limit, 250ms);
    EXPECT_EQ(labels, "") << (reasons ? "no reason given" : "not completed");
  }

  // Checks each case's first reason, its file once completed and the footage that was there
  // before; counts survivals.
  void check(Scenario& scenario) {
    Json summary = world_.summary();
    for (const auto& c : sent_) {
      auto reasons = waitingReasons(summary, c.delivery.at("id"));
      fs::path path = c.folder / "clip.mov";
      bool whole = !c.completes ||
                   (deliveryComplete(summary, c.delivery.at("id")) && sameBytes(c.sources / "clip.mov", path));
      bool good = whole && (c.message.empty() || (!reasons.empty() && reasons[0] == c.message)) &&
                  (c.existing.empty() || testing::readText(path) == c.existing);
      EXPECT_TRUE(good) << c.label << (whole ? ", whole; reasons: " : ", not whole; reasons: ") << reasons.size();
      scenario.lost(whole ? 0 : c.size);
      scenario.injected();
      scenario.survived(good);
    }
  }

  // Adds a failure for each file that appeared since the run began outside the download folder
  // (and the world's own folders), and each in the download folder that no delivery explains.
  std::size_t strayFiles() {
    std::set<std::string> explained;
    for (const auto& c : sent_) {
      for (const auto& file : c.delivery.at("files")) {
        fs::path path = (c.folder / file.at("relativePath").get<std::string>()).lexically_normal();
        // A path that climbs out of its delivery's folder explains nothing.
        if (!path.string().starts_with(c.folder.lexically_normal().string() + "/")) continue;
        for (const auto& name : {path, World::partialPath(path.parent_path(), file.at("id"))})
          explained.insert(name.lexically_relative(world_.folder()).string());
      }
    }
    // The receipt (ASC MHL) the agent adds to a folder it received.
    for (const auto& c : sent_)
      for (const auto& name : filesBelow(c.folder / "ascmhl"))
        explained.insert((c.folder / "ascmhl" / name).lexically_relative(world_.folder()).string());
    std::size_t stray = 0;
    for (const auto& file : filesBelow(world_.folder(), ownFolders())) {
      if (before_.count(file) || explained.count(file)) continue;
      ADD_FAILURE() << "written where it must not be: " << file;
      ++stray;
    }
    return stray;
  }

 private:
  // The world's own working folders, which the run may change freely (the agent's log among them).
  std::vector<std::string> ownFolders() const {
    fs::path home = fs::path(std::getenv("HOME")).lexically_relative(world_.folder());
    return {"logs", "sources", "tls", ".world", "runtime", "bin", (home / ".local/share/Trellisant").string(),
            (home / ".config").string(), (home / ".local/state/trellisant").string()};
  }

  World& world_;
  fs::path root_;
  std::set<std::string> before_;
  std::vector<HostileCase> sent_;
};

// A company injection on one of the delivery's own requests ("lease", "manifest", …).
Inject answering(std::string method, std::string leaf, int status, std::string body, int times = -1) {
  return [=](World& world, const Json& delivery) {
    world.admin().inject({{"method", method},
                          {"path", "/api/v1/native/deliveries/" + delivery.at("id").get<std::string>() + "/" + leaf},
                          {"status", status}, {"body", body}, {"times", times}});
  };
}

// A capability answer for the delivery's file: the true one with `changes` applied.
Inject onCapability(const std::function<Json(const Json& answer)>& changes) {
  return [=](World& world, const Json& delivery) {
    const Json& file = delivery.at("files")[0];
    std::string deliveryId = delivery.at("id"), fileId = file.at("id");
    Json answer = {{"url", "https://storage.googleapis.com/files/" + deliveryId + "/" + fileId},
                   {"headers", {{"X-Sandbox-Signature", sandbox::capabilitySignature(deliveryId, fileId)}}},
                   {"size", std::to_string(file.at("size").get<std::int64_t>())},
                   {"fingerprint", file.at("fingerprint")}};
    answer.update(changes(answer));
    answering("POST", "capability", 200, answer.dump())(world, delivery);
  };
}
Inject onCapability(const Json& changes) {
  return onCapability([=](const Json&) { return changes; });
}

// Provider faults for the delivery's file, applied in this order; a redirect to "host" goes to
// the file's path there.
Inject provider(std::vector<Json> faults) {
  return [=](World& world, const Json& delivery) {
    const std::string fileId = delivery.at("files")[0].at("id");
    for (Json fault : faults) {
      fault["fileId"] = fileId;
      if (fault.contains("host"))
        fault["location"] =
            fault["host"].get<std::string>() + "/files/" + delivery.at("id").get<std::string>() + "/" + fileId;
      fault.erase("host");
      world.admin().fault(fault);
    }
  };
}

const char* const kUnsafe = "This file has an unsafe destination name.";
const char* const kFormat = "The data couldn’t be read because it isn’t in the correct format.";
const char* const kInterrupted = "Your connection was interrupted. Trellisant will retry.";
const char* const kRange = "The provider did not return the requested file range. Saved footage was preserved.";
const char* const kRedirect = "A download redirected to an unsupported address.";

std::string notA(const char* field, const char* type) {
  return std::string("The data couldn’t be read because “") + field + "” is not a " + type + ".";
}

// What the server announces: these never complete.
HostileCase announced(std::string label, Json file, std::string message = kUnsafe) {
  return {label, message, false, {}, file.contains("transferId") ? file : Json{{"files", {{"clip.mov", file}}}}};
}

std::vector<HostileCase> serverCases(const std::string& escape) {
  std::vector<HostileCase> cases = {
      announced("path traversal", {{"relativePath", "../../../../../../" + escape}}),
      announced("control characters in a path", {{"relativePath", "Day\n1/clip\u0007.mov"}}),
      announced("file id that climbs", {{"id", "../../" + escape}}),
      announced("file id too long for a file name", {{"id", std::string(240, 'i')}}),
      announced("transfer id that climbs", {{"transferId", "../../.."}}),
      announced("invalid size", {{"size", "-5"}}, "This file has an invalid size."),
      announced("wrong checksum", {{"checksum", std::string(64, '0')}},
                "File verification failed. Trellisant will download this file again."),
      // What the server answers: these complete once it answers properly again.
      {"malformed lease", kFormat, true, answering("POST", "lease", 200, "{\"leaseUntil\": ")},
      {"short file list", "The file list is incomplete. Trellisant will retry.", true,
       answering("GET", "manifest", 200, R"({"files": [], "total": 0})")},
      {"capability to a foreign host", "The storage provider returned an unsupported download address.", true,
       onCapability({{"url", "https://downloads.example.com/clip.mov"}})},
      {"headers smuggled into a capability",
       "The data couldn’t be read because “headers” holds a name or value that cannot be sent.", true,
       onCapability([](const Json& answer) {
         return Json{{"headers", {{"X-Sandbox-Signature", answer["headers"]["X-Sandbox-Signature"].get<std::string>() +
                                                              "\r\nX-Injected: yes"}}}};
       })},
      {"changed fingerprint", "The original footage changed. Request a new transfer.", true,
       onCapability({{"fingerprint", "another-version"}})},
      {"wrong types in a capability", notA("url", "string"), true, onCapability({{"url", 5}})},
      {"5xx storm", kInterrupted, true, answering("POST", "", 502, "<html><body>Bad gateway</body></html>")},
      {"the server's own refusal", "This delivery was withdrawn by its sender.", true,
       answering("POST", "capability", 403, R"({"error": "This delivery was withdrawn by its sender."})")},
      {"report refused once", kInterrupted, true, answering("POST", "file-complete", 503, "", 1)},
      {"oversized answer", "The server sent more data than expected.", true,
       answering("POST", "capability", 200, std::string(24 * MiB, ' ') + "{")},
  };
  HostileCase& named = cases.emplace_back("names with controls and slashes");
  named.company = "Ac/me\u0001:";
  named.name = "Day\t1/2";
  return cases;
}

TEST(Faults, HostileServer) {
  Scenario scenario("hostile-server");
  World world;
  world.signIn();
  HostileRun run(world);
  const std::string escape = "trellisant-escape-" + makeUUID() + ".mov";

  // A broken delivery list at the start of a pass, before there is anything to receive.
  world.admin().inject({{"method", "GET"}, {"path", "/api/v1/native/deliveries"}, {"body", "{\"deliveries\": ["},
                        {"status", 200}, {"times", 1}});
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s));
  const auto agents = world.agents();
  world.waitForState("needs_attention", 30s, {kFormat});

  // One delivery per fault, and a good one after them that loses its sign-in on the way.
  auto cases = serverCases(escape);
  cases.push_back({"good delivery", "", true, provider({{{"kind", "trickle"}, {"bytes", 4 * MiB}}}),
                   Json::object(), 16 * MiB});
  run.send(cases);
  run.waitForEach(true, 150s);
  const HostileCase& last = run.sent().back();
  auto started = [&] { return World::partialSize(last.folder, last.delivery["files"][0]["id"]) >= 2 * MiB; };
  ASSERT_TRUE(waitUntil(started, 120s)) << "the good delivery did not start";
  world.admin().revokeTokens();
  scenario.injected(2);  // the broken list and the revocation
  world.waitForState("needs_attention", 30s, {"Your sign in is no longer valid. Sign in again in Trellisant."});

  // The servers behave again and the user signs in anew.
  world.admin().clearInjections();
  world.admin().clearFaults();
  world.signIn();
  run.waitForEach(false, 120s);
  EXPECT_EQ(world.agents(), agents) << "the agent ended";
  run.check(scenario);
  bool served = deliveryComplete(world.summary(), last.delivery.at("id"));
  scenario.survived(served ? 2 : 0);
  std::size_t stray = run.strayFiles();
  EXPECT_FALSE(fs::exists("/tmp/" + escape));
  scenario.detail(std::to_string(run.sent().size() - 1) +
                  " hostile deliveries, a broken delivery list and a revocation; " + std::to_string(stray) +
                  " files outside their place; the good delivery afterwards " +
                  (served ? "completed" : "did not complete"));
}

std::vector<HostileCase> providerCases() {
  std::vector<HostileCase> cases = {
      {"whole file instead of the range", kRange, true, provider({{{"kind", "whole-file"}}})},
      {"compressed body", kRange, true, provider({{{"kind", "gzip"}}})},
      {"one byte too many", "The provider returned unexpected file data.", true, provider({{{"kind", "extra-byte"}}})},
      {"connection closed early", "The download ended early. Trellisant will resume it.", true,
       provider({{{"kind", "close-after"}, {"bytes", 300 * 1024}}})},
      {"redirect to plain http", kRedirect, true,
       provider({{{"kind", "redirect"}, {"status", 302}, {"host", "http://storage.googleapis.com"}}})},
      {"redirect chain that leaves the providers", kRedirect, true,
       provider({{{"kind", "redirect"}, {"status", 302}, {"host", "https://sandbox.s3.amazonaws.com"}, {"times", 1}},
                 {{"kind", "redirect"}, {"status", 307}, {"location", "https://127.0.0.1/clip"}}})},
      {"endless redirects", kRedirect, true,
       provider({{{"kind", "redirect"}, {"status", 301}, {"host", "https://sandbox.cloudfront.net"}}})},
      {"footage already at the destination", "A file already exists at this destination. Choose another folder.",
       false},
  };
  cases.back().existing = "The editor's own cut, not to be replaced.\n";
  for (auto& c : cases)
    if (c.completes) c.size = MiB;
  return cases;
}

TEST(Faults, HostileProvider) {
  Scenario scenario("hostile-provider");
  World world;
  world.signIn();
  HostileRun run(world);
  run.send(providerCases());
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s));
  const auto agents = world.agents();
  run.waitForEach(true, 150s);

  // Nothing the provider sent beyond what the journal confirmed counts: the partial files keep
  // at least the confirmed bytes, and nothing was written for answers that were refused.
  for (const auto& c : run.sent()) {
    std::string fileId = c.delivery.at("files")[0].at("id");
    auto row = World::journal(c.delivery.at("id"), fileId);
    auto partial = World::partialSize(c.folder, fileId).value_or(0);
    EXPECT_TRUE(!row || row->second != "partial" || (partial >= row->first && partial <= c.size)) << c.label;
  }

  world.admin().clearFaults();
  run.waitForEach(false, 120s);
  EXPECT_EQ(world.agents(), agents) << "the agent ended";
  run.check(scenario);
  scenario.detail(std::to_string(run.sent().size()) + " provider faults, each in its own delivery; " +
                  std::to_string(run.strayFiles()) + " files outside their place");
}

}  // namespace
}  // namespace trellisant::faults

// A hostile or broken company server: unsafe names and ids in what it announces, malformed
// JSON and wrong types in its answers, capabilities that point elsewhere or smuggle headers,
// storms of 5xx answers, oversized answers, and every token revoked in the middle of a
// delivery. Each ends in its own message, nothing is written outside the delivery's
// folder, and the agent goes on serving: a good delivery afterwards completes.

#include <gtest/gtest.h>

#include "hostile_faults.h"
#include "encoding.h"
#include "store.h"

namespace trellisant::faults {
namespace {

using e2e::waitUntil;
using e2e::World;
using namespace std::chrono_literals;

const char* const kUnsafe = "This file has an unsafe destination name.";
const char* const kFormat = "The data couldn’t be read because it isn’t in the correct format.";
const char* const kInterrupted = "Your connection was interrupted. Trellisant will retry.";
const char* const kTooMuch = "The server sent more data than expected.";
const char* const kRevoked = "Your sign in is no longer valid. Sign in again in Trellisant.";

Json announceFile(const Json& changes) {
  return Json{{"files", {{"clip.mov", changes}}}};
}

std::function<void(World&, const Json&)> onCapability(const Json& changes) {
  return [changes](World& world, const Json& delivery) {
    world.admin().inject(deliveryInjection(delivery, "POST", "capability", 200,
                                           capabilityAnswer(world, delivery, changes).dump()));
  };
}

std::function<void(World&, const Json&)> answering(std::string method, std::string leaf, int status,
                                                   std::string body, int times = -1) {
  return [=](World& world, const Json& delivery) {
    world.admin().inject(deliveryInjection(delivery, method, leaf, status, body, times));
  };
}

std::vector<HostileCase> serverCases(const std::string& escape) {
  std::vector<HostileCase> cases;
  // What the server announces: these never complete.
  auto announced = [&](std::string label, Json announcements, std::string message) {
    HostileCase c;
    c.label = std::move(label);
    c.announcements = std::move(announcements);
    c.message = std::move(message);
    cases.push_back(std::move(c));
  };
  announced("path traversal", announceFile({{"relativePath", "../../../../../../" + escape}}), kUnsafe);
  announced("absolute path", announceFile({{"relativePath", "/tmp/" + escape}}), kUnsafe);
  announced("control characters in a path", announceFile({{"relativePath", "Day\n1/clip\u0007.mov"}}), kUnsafe);
  announced("file id that climbs", announceFile({{"id", "../../" + escape}}), kUnsafe);
  announced("file id with a slash", announceFile({{"id", "a/b"}}), kUnsafe);
  announced("file id too long for a file name", announceFile({{"id", std::string(240, 'i')}}), kUnsafe);
  announced("transfer id that climbs", {{"transferId", "../../.."}}, kUnsafe);
  announced("invalid size", announceFile({{"size", "-5"}}), "This file has an invalid size.");
  announced("size that is no number", announceFile({{"size", "262144 bytes"}}), "This file has an invalid size.");
  announced("wrong checksum", announceFile({{"checksum", std::string(64, '0')}}),
            "File verification failed. Trellisant will download this file again.");
  HostileCase names;
  names.label = "names with controls and slashes";
  names.company = "Ac/me\u0001:";
  names.name = "Day\t1/2";
  names.completes = true;
  cases.push_back(names);

  // What the server answers: these complete once it answers properly again.
  auto answered = [&](std::string label, std::function<void(World&, const Json&)> inject, std::string message) {
    HostileCase c;
    c.label = std::move(label);
    c.inject = std::move(inject);
    c.message = std::move(message);
    c.completes = true;
    cases.push_back(std::move(c));
  };
  answered("malformed lease", answering("POST", "lease", 200, "{\"leaseUntil\": "), kFormat);
  answered("wrong types in the file list",
           answering("GET", "manifest", 200,
                     R"({"files": [{"id": 7, "relativePath": "clip.mov", "size": "1", "fingerprint": "f"}], "total": 1})"),
           "The data couldn’t be read because “id” is not a string.");
  answered("short file list", answering("GET", "manifest", 200, R"({"files": [], "total": 0})"),
           "The file list is incomplete. Trellisant will retry.");
  answered("capability to a foreign host", onCapability({{"url", "https://downloads.example.com/clip.mov"}}),
           "The storage provider returned an unsupported download address.");
  answered("capability over plain http",
           [](World& world, const Json& delivery) {
             std::string url = capabilityAnswer(world, delivery, Json::object()).at("url");
             onCapability({{"url", "http" + url.substr(5)}})(world, delivery);
           },
           "The storage provider returned an unsupported download address.");
  answered("headers smuggled into a capability",
           [](World& world, const Json& delivery) {
             std::string signature =
                 sandbox::capabilitySignature(delivery.at("id"), delivery.at("files")[0].at("id"));
             onCapability({{"headers", {{"X-Sandbox-Signature", signature + "\r\nX-Injected: yes"}}}})(world, delivery);
           },
           "The data couldn’t be read because “headers” holds a name or value that cannot be sent.");
  answered("changed fingerprint", onCapability({{"fingerprint", "another-version"}}),
           "The original footage changed. Request a new transfer.");
  answered("wrong types in a capability", onCapability({{"url", 5}}),
           "The data couldn’t be read because “url” is not a string.");
  answered("5xx storm", answering("POST", "", 502, "<html><body>Bad gateway</body></html>"), kInterrupted);
  answered("the server's own refusal",
           answering("POST", "capability", 403, R"({"error": "This delivery was withdrawn by its sender."})"),
           "This delivery was withdrawn by its sender.");
  answered("report refused once", answering("POST", "file-complete", 503, "", 1), kInterrupted);
  answered("wrong types in the report's answer", answering("POST", "file-complete", 200, R"({"ok": "yes"})"),
           "The data couldn’t be read because “ok” is not a boolean.");
  answered("oversized answer", answering("POST", "capability", 200, std::string(24 * MiB, ' ') + "{"), kTooMuch);
  return cases;
}

TEST(Faults, HostileServer) {
  Scenario scenario("hostile-server");
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  HostileRun run(world, root);
  const std::string escape = "trellisant-escape-" + makeUUID() + ".mov";

  // Broken answers at the start of a pass, one pass each, before there is anything to receive:
  // the heartbeat comes first in every pass, the delivery list after it.
  struct PassFault {
    std::string method;
    std::string path;
    std::string body;
    int status;
    std::string message;
  };
  const std::string list = "/api/v1/native/deliveries";
  std::vector<PassFault> lists = {{"GET", list, "{\"deliveries\": [", 200, kFormat}};
  if (faultOptions().thorough) {
    lists.insert(lists.begin(), {"POST", "/api/v1/native/heartbeat", R"({"ok": "yes"})", 200,
                                 "The data couldn’t be read because “ok” is not a boolean."});
    lists.push_back({"GET", list, R"({"deliveries": [{"id": 7}]})", 200,
                     "The data couldn’t be read because “id” is not a string."});
    lists.push_back({"GET", list, R"({"error": "Down for maintenance."})", 503, "Down for maintenance."});
  }
  for (const auto& fault : lists) {
    world.admin().inject({{"method", fault.method}, {"path", fault.path}, {"status", fault.status},
                          {"body", fault.body}, {"times", 1}});
  }
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s));
  const auto agents = world.agents();
  for (const auto& fault : lists) {
    scenario.injected();
    waitForAttention(world, {fault.message}, 30s);
  }

  // One delivery per fault, and a good one after them that loses its sign-in on the way.
  auto cases = serverCases(escape);
  if (faultOptions().thorough) {
    // Progress is reported at the batch's first tick (5 s), so this file arrives slowly.
    HostileCase progress;
    progress.label = "malformed progress answer";
    progress.file = {"clip.mov", 2 * MiB};
    progress.inject = [](World& world, const Json& delivery) {
      world.admin().fault({{"kind", "trickle"}, {"bytes", 256 * 1024}, {"fileId", delivery.at("files")[0].at("id")}});
      world.admin().inject(deliveryInjection(delivery, "POST", "progress", 200, "{\"ok\": tru"));
    };
    progress.message = kFormat;
    progress.completes = true;
    cases.push_back(progress);
  }
  HostileCase good;
  good.label = "good delivery";
  good.file = {"clip.mov", 16 * MiB};
  good.completes = true;
  good.inject = [](World& world, const Json& delivery) {
    world.admin().fault({{"kind", "trickle"}, {"bytes", 4 * MiB}, {"fileId", delivery.at("files")[0].at("id")}});
  };
  cases.push_back(good);
  run.send(cases);
  run.waitForReasons(60s);
  const SentCase& last = run.sent().back();
  ASSERT_TRUE(waitUntil(
      [&] {
        auto partial = World::partialSize(last.folder, last.delivery.at("files")[0].at("id"));
        return partial && *partial >= 2 * MiB;
      },
      60s))
      << "the good delivery did not start; last status: " << statusMessage(world);
  world.admin().revokeTokens();
  scenario.injected();
  waitForAttention(world, {kRevoked}, 30s);

  // The servers behave again and the user signs in anew.
  world.admin().clearInjections();
  world.admin().clearFaults();
  world.signIn();
  run.waitForCompletion(120s);
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

}  // namespace
}  // namespace trellisant::faults

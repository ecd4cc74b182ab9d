// A hostile or broken storage provider: answers that are not exactly the range asked for,
// bodies larger than the range, connections that close early, redirect chains that leave the
// providers or never end, storms of 5xx answers and, in the thorough run, a slow-loris that
// sends a byte now and then. Each ends in its own message with the bytes already saved
// kept, and once the provider behaves every delivery completes from where it stopped.

#include <gtest/gtest.h>

#include "hostile_faults.h"

namespace trellisant::faults {
namespace {

using e2e::waitUntil;
using e2e::World;
using namespace std::chrono_literals;

const char* const kRange = "The provider did not return the requested file range. Saved footage was preserved.";
const char* const kUnexpected = "The provider returned unexpected file data.";
const char* const kRedirect = "A download redirected to an unsupported address.";

std::string fileUrl(const std::string& host, const Json& delivery) {
  return "https://" + host + "/files/" + delivery.at("id").get<std::string>() + "/" +
         delivery.at("files")[0].at("id").get<std::string>();
}

// Provider faults for the delivery's file, applied in this order.
std::function<void(World&, const Json&)> faults(std::function<std::vector<Json>(const Json& delivery)> make) {
  return [make](World& world, const Json& delivery) {
    for (Json fault : make(delivery)) {
      fault["fileId"] = delivery.at("files")[0].at("id");
      world.admin().fault(fault);
    }
  };
}

std::function<void(World&, const Json&)> fault(Json one) {
  return faults([one](const Json&) { return std::vector<Json>{one}; });
}

std::vector<HostileCase> providerCases() {
  std::vector<HostileCase> cases;
  auto add = [&](std::string label, std::function<void(World&, const Json&)> inject, std::string message) {
    HostileCase c;
    c.label = std::move(label);
    c.file = {"clip.mov", MiB};
    c.inject = std::move(inject);
    c.message = std::move(message);
    c.completes = true;
    cases.push_back(std::move(c));
  };
  add("whole file instead of the range", fault({{"kind", "whole-file"}}), kRange);
  add("wrong total in Content-Range", fault({{"kind", "wrong-total"}}), kRange);
  add("unknown total in Content-Range", fault({{"kind", "star-total"}}), kRange);
  add("compressed body", fault({{"kind", "gzip"}}), kRange);
  add("5xx storm", fault({{"kind", "server-error"}, {"status", 503}}), kRange);
  add("one byte too many", fault({{"kind", "extra-byte"}}), kUnexpected);
  add("oversized body", fault({{"kind", "extra-byte"}, {"bytes", 4 * MiB}}), kUnexpected);
  add("connection closed early", fault({{"kind", "close-after"}, {"bytes", 300 * 1024}}),
      "The download ended early. Trellisant will resume it.");
  add("redirect to a foreign host", fault({{"kind", "redirect"}, {"location", "https://downloads.example.com/clip"}}),
      kRedirect);
  add("redirect to plain http",
      faults([](const Json& d) {
        return std::vector<Json>{{{"kind", "redirect"}, {"location", "http" + fileUrl("storage.googleapis.com", d).substr(5)}}};
      }),
      kRedirect);
  add("redirect chain that leaves the providers",
      faults([](const Json& d) {
        return std::vector<Json>{
            {{"kind", "redirect"}, {"location", fileUrl("sandbox.s3.amazonaws.com", d)}, {"times", 1}},
            {{"kind", "redirect"}, {"status", 307}, {"location", "https://127.0.0.1/clip"}}};
      }),
      kRedirect);
  add("endless redirects",
      faults([](const Json& d) {
        return std::vector<Json>{{{"kind", "redirect"}, {"status", 301}, {"location", fileUrl("sandbox.cloudfront.net", d)}}};
      }),
      kRedirect);
  return cases;
}

TEST(Faults, HostileProvider) {
  Scenario scenario("hostile-provider");
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  HostileRun run(world, root);
  auto cases = providerCases();
  if (faultOptions().thorough) {
    // Headers, then a byte every 2 seconds: under the 1 byte per second the agent waits for.
    HostileCase slow;
    slow.label = "slow-loris";
    slow.file = {"clip.mov", MiB};
    slow.inject = fault({{"kind", "slow-loris"}, {"bytes", 2000}});
    slow.message = "Operation too slow. Less than 1 bytes/sec transferred the last 45 seconds";
    slow.completes = true;
    cases.push_back(std::move(slow));
  }
  run.send(cases);
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return world.agents().size() == 1; }, 10s));
  const auto agents = world.agents();
  run.waitForReasons(faultOptions().thorough ? 150s : 60s);

  // Nothing the provider sent beyond what the journal confirmed counts: the partial files keep
  // at least the confirmed bytes, and nothing was written for answers that were refused.
  for (const auto& sent : run.sent()) {
    std::string fileId = sent.delivery.at("files")[0].at("id");
    auto row = world.journal(sent.id, fileId);
    auto partial = World::partialSize(sent.folder, fileId);
    if (row && row->second == "partial") {
      EXPECT_GE(partial.value_or(0), row->first) << sent.what.label;
      EXPECT_LE(partial.value_or(0), sent.what.file.size) << sent.what.label;
    }
  }

  world.admin().clearFaults();
  run.waitForCompletion(120s);
  EXPECT_EQ(world.agents(), agents) << "the agent ended";
  run.check(scenario);
  auto stray = run.strayFiles();
  for (const auto& file : stray) ADD_FAILURE() << "written where it must not be: " << file;
  scenario.detail(std::to_string(run.sent().size()) + " provider faults, each in its own delivery; " +
                  std::to_string(stray.size()) + " files outside their place");
}

}  // namespace
}  // namespace trellisant::faults

// Receipts (ASC MHL) written by the real agent into the transfer folders it receives, and
// checked again with `trellisantctl verify`.

#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>

#include "receipt/media_hash.h"
#include "receipt/receipt.h"
#include "world_driver.h"

namespace trellisant::e2e {
namespace {

bool has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(World, ReceiptVerified) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  // A file the delivery brings at a receipt's path is its own: the receipt takes the next number.
  const std::string theirs = "ascmhl/0001_Day 1_2020-01-01_000000Z.mhl", nfd = "Sce\xCC\x80ne.txt";
  fs::path sources = world.makeSources("day1", {{"A001.mov", 3 * MiB}, {"sound/A001.wav", 200'000}, {theirs, 100}});
  testing::writeText(sources / nfd, "decomposed");
  Json delivery = world.send(sources, "Day 1");
  world.ctlOk({"enable"});
  world.waitForState("completed", 120s);
  fs::path folder = World::destination(root, delivery);
  EXPECT_TRUE(sameBytes(sources / theirs, folder / theirs));
  auto chain = generations(folder);
  ASSERT_EQ(chain.size(), 1u);
  EXPECT_TRUE(chain[0].starts_with("0002_" + folder.filename().string() + "_")) << chain[0];
  std::string manifest = testing::readText(folder / "ascmhl" / chain[0]);
  for (const char* part : {"<process>transfer</process>", "<tool version=\"", ">Trellisant</tool>", "Acme",
                           "Day 1", "<xxh64 action=\"original\">", ">Sc\xC3\xA8ne.txt</path>"})
    EXPECT_TRUE(has(manifest, part)) << part << " not in\n" << manifest;

  auto [status, output] = world.ctl({"verify", folder.string()});
  EXPECT_EQ(status, 0) << output;
  EXPECT_TRUE(has(output, ": 3 files, ") && has(output, "all match")) << output;

  // One flipped byte, a removed file and an added one: each reported, and the command fails.
  {
    std::fstream file(folder / "A001.mov", std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(MiB);
    char byte = static_cast<char>(file.get() ^ 1);
    file.seekp(MiB);
    file.put(byte);
  }
  fs::remove(folder / "sound" / "A001.wav");
  testing::writeText(folder / "extra.txt", "added");
  std::tie(status, output) = world.ctl({"verify", folder.string()});
  EXPECT_EQ(status, 1) << output;
  for (const char* line : {"changed: A001.mov\n", "missing: sound/A001.wav\n", "unexpected: extra.txt\n", "3 problems"})
    EXPECT_TRUE(has(output, line)) << line << " not in\n" << output;
  EXPECT_EQ(generations(folder), chain) << "verify wrote into the folder";
}

// A sender's history (another tool's) of two files whose contents have published hashes.
fs::path senderSources(World& world, const std::string& name, const std::string& xxh64) {
  fs::path sources = world.folder() / "sources" / name;
  fs::create_directories(sources / "Clips");
  fs::create_directories(sources / "ascmhl");
  testing::writeText(sources / "Clips" / "A001.mov", "abc");
  testing::writeText(sources / "empty.txt", "");
  const std::string manifest =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<hashlist version=\"2.0\" xmlns=\"urn:ASC:MHL:v2.0\">\n"
      "<creatorinfo><creationdate>2026-01-01T12:00:00Z</creationdate><hostname>set</hostname>"
      "<tool version=\"1\">offload</tool></creatorinfo><processinfo><process>in-place</process></processinfo>\n"
      "<hashes><hash><path size=\"3\">Clips/A001.mov</path><sha1>a9993e364706816aba3e25717850c26c9cd0d89d</sha1>"
      "<xxh64>" + xxh64 + "</xxh64></hash>\n<hash><path size=\"0\">empty.txt</path><c4>"
      "c459dsjfscH38cYeXXYogktxf4Cd9ibshE3BHUo6a58hBXmRQdZrAkZzsWcbWtDg5oQstpDuni4Hirj75GEmTc1sFT</c4>"
      "<xxh128>99aa06d3014798d86001c324468d497f</xxh128></hash></hashes>\n</hashlist>\n";
  testing::writeText(sources / "ascmhl" / "0001_Clips_2026-01-01_120000Z.mhl", manifest);
  testing::writeText(sources / "ascmhl" / "ascmhl_chain.xml",
                     "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ascmhldirectory xmlns=\"urn:ASC:MHL:DIRECTORY:v2.0\">"
                     "<hashlist sequencenr=\"1\"><path>0001_Clips_2026-01-01_120000Z.mhl</path><c4>" +
                         hashBytes(manifest, {HashFormat::c4}).at(HashFormat::c4) +
                         "</c4></hashlist></ascmhldirectory>\n");
  return sources;
}

TEST(World, SenderHistory) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  fs::path matching = senderSources(world, "matching", "44bc2cf5ad770999");
  Json good = world.send(matching, "Matching");
  world.ctlOk({"enable"});
  world.waitForState("completed", 120s);
  // Extended by a generation of its own; the sender's files as they were (the chain grown only).
  fs::path folder = World::destination(root, good);
  auto chain = generations(folder);
  ASSERT_EQ(chain.size(), 2u);
  const fs::path theirs = fs::path("ascmhl") / chain[0];
  EXPECT_TRUE(sameBytes(matching / theirs, folder / theirs));
  std::string before = testing::readText(matching / "ascmhl" / "ascmhl_chain.xml");
  EXPECT_EQ(testing::readText(folder / "ascmhl" / "ascmhl_chain.xml").substr(0, before.rfind("</")),
            before.substr(0, before.rfind("</")));
  std::string ours = testing::readText(folder / "ascmhl" / chain[1]);
  for (const char* part : {"<sha1 action=\"verified\">", "<xxh64 action=\"verified\">", "<c4 action=\"verified\">",
                           "<xxh128 action=\"verified\">"})
    EXPECT_TRUE(has(ours, part)) << part << " not in\n" << ours;
  EXPECT_TRUE(world.ctl({"verify", folder.string()}).first == 0);

  fs::path wrong = senderSources(world, "wrong", "44bc2cf5ad770998");
  Json bad = world.send(wrong, "Wrong");
  world.waitForState("needs_attention", 120s, {kSenderMismatch});
  fs::path badFolder = World::destination(root, bad);
  EXPECT_TRUE(sameBytes(wrong / "Clips" / "A001.mov", badFolder / "Clips" / "A001.mov")) << "the files stay";
  ASSERT_EQ(generations(badFolder).size(), 2u);
  EXPECT_TRUE(has(testing::readText(badFolder / "ascmhl" / generations(badFolder)[1]), "<xxh64 action=\"failed\">"));
}

TEST(World, ReceiptAfterCrash) {
  World world;
  world.signIn();
  fs::path root = world.chooseFolder();
  Json delivery = world.send(world.makeSources("crash", {{"A001.mov", MiB}}), "Crash");
  const std::string id = delivery.at("id");
  // The server hears of the last file but holds its answer: the agent stops before its receipt.
  world.admin().inject({{"method", "POST"}, {"path", "/api/v1/native/deliveries/" + id + "/file-complete"},
                        {"delayAfterMs", 30000}, {"times", 1}});
  world.ctlOk({"enable"});
  ASSERT_TRUE(waitUntil([&] { return !forDelivery(world.summary().at("fileCompletions"), id).empty(); }, 60s));
  ASSERT_TRUE(world.signalAgents(SIGKILL));
  fs::path folder = World::destination(root, delivery);
  ASSERT_TRUE(generations(folder).empty());
  world.ctlOk({"enable"});  // started again; the server no longer lists the delivery
  EXPECT_TRUE(waitUntil([&] { return generations(folder).size() == 1; }, 60s));
  EXPECT_EQ(world.ctl({"verify", folder.string()}).first, 0);

  // A receipt that cannot be written (a file of the delivery stands where its folder goes) is
  // no failure of the delivery.
  fs::path blocked = world.folder() / "sources" / "blocked";
  fs::create_directories(blocked);
  testing::writeText(blocked / "ascmhl", "not a folder");
  Json second = world.send(blocked, "Blocked");
  EXPECT_EQ(world.waitForState("completed", 60s).transfer, "Blocked");
  EXPECT_EQ(testing::readText(World::destination(root, second) / "ascmhl"), "not a folder");
  // The first receipt, written by the pass after the crash, and the second's failure, recorded.
  Json history = Json::parse(world.ctlOk({"history", "--json"}));
  ASSERT_EQ(history.size(), 2u) << history;
  EXPECT_EQ(history[1].at("receipt"), "written") << history;
  EXPECT_EQ(history[0].at("receipt"), "failed") << history;
}

}  // namespace
}  // namespace trellisant::e2e

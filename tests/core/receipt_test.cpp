// The receipt's pieces (ASC MHL): its hashes against published answers, and the manifest and
// chain it writes against the format's schema rules, checked here with libxml2's own tree.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "receipt/history.h"
#include "receipt/media_hash.h"
#include "receipt/mhl_xml.h"
#include "receipt/receipt.h"
#include "test_support.h"
#include "unique_fd.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;

TEST(Receipt, HashesGivePublishedAnswers) {
  const std::set<HashFormat> all = {HashFormat::c4,     HashFormat::md5,  HashFormat::sha1,
                                    HashFormat::xxh128, HashFormat::xxh3, HashFormat::xxh64};
  HashValues empty = hashBytes("", all);
  EXPECT_EQ(empty[HashFormat::xxh64], "ef46db3751d8e999");
  EXPECT_EQ(empty[HashFormat::xxh3], "2d06800538d394c2");
  EXPECT_EQ(empty[HashFormat::xxh128], "99aa06d3014798d86001c324468d497f");
  EXPECT_EQ(empty[HashFormat::md5], "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(empty[HashFormat::sha1], "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(empty[HashFormat::c4],
            "c459dsjfscH38cYeXXYogktxf4Cd9ibshE3BHUo6a58hBXmRQdZrAkZzsWcbWtDg5oQstpDuni4Hirj75GEmTc1sFT");
  EXPECT_EQ(hashBytes("abc", {HashFormat::xxh64})[HashFormat::xxh64], "44bc2cf5ad770999");
  EXPECT_EQ(hashBytes("foo", {HashFormat::c4})[HashFormat::c4],
            "c45xZeXwMSpqXjpDumcHMA6mhoAmGHkUo7r9WmN2UgSEQzj9KjgseaQdkEJ11fGb5S1WEENcV3q8RFWwEeVpC7Fjk2");
  // Fed in pieces, as the verifying read feeds it, the same answer.
  MediaHasher pieces({HashFormat::xxh64, HashFormat::c4});
  pieces.update("f", 1);
  pieces.update("oo", 2);
  EXPECT_EQ(pieces.finish()[HashFormat::c4], hashBytes("foo", {HashFormat::c4})[HashFormat::c4]);
}

std::vector<std::string> elementNames(const xmlNode* parent) {
  std::vector<std::string> names;
  for (const xmlNode* child = parent->children; child; child = child->next)
    if (child->type == XML_ELEMENT_NODE) names.emplace_back(reinterpret_cast<const char*>(child->name));
  return names;
}

const xmlNode* nth(const xmlNode* parent, std::size_t n) {
  for (const xmlNode* child = parent->children; child; child = child->next)
    if (child->type == XML_ELEMENT_NODE && n-- == 0) return child;
  return nullptr;
}

std::string property(const xmlNode* node, const char* name) {
  xmlChar* value = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  std::string text = value ? reinterpret_cast<const char*>(value) : "<none>";
  xmlFree(value);
  return text;
}

// YYYY-MM-DDTHH:MM:SSZ
bool utcDateTime(const std::string& text) {
  const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i)
    if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i]) return false;
  return true;
}

TEST(Receipt, ManifestFollowsTheSchemaRules) {
  const std::string nfd = "Cafe\xCC\x81/Sce\xCC\x80ne 1.mov", nfcName = "Caf\xC3\xA9/Sc\xC3\xA8ne 1.mov";
  Mhl::Manifest manifest{Mhl::dateTime(1'765'119'600), "edit & <bay> \"1\"", "Trellisant", "0.1.2",
                         "Delivery “Day 1” from R&D <West>", "transfer", {}};
  manifest.files.push_back({"a&b <c> \"d\" 'e'.mov", 5, Mhl::dateTime(0),
                            {{HashFormat::xxh64, "0ea03b369a463d9d", Mhl::Action::original},
                             {HashFormat::md5, "40e52b717fab6af085566c769cd9c6ea", Mhl::Action::verified},
                             {HashFormat::c4, "c4x", Mhl::Action::failed}}});
  manifest.files.push_back({nfd, 0, "", {{HashFormat::xxh64, "ef46db3751d8e999", Mhl::Action::original}}});
  manifest.files.push_back({nfcName, 1, "", {{HashFormat::xxh64, "1", Mhl::Action::original}}});
  const std::string xml = Mhl::manifestXml(manifest);
  EXPECT_EQ(Mhl::manifestName(1, "abcdefgh Day 1", Mhl::nameStamp(1'765'119'600)),
            "0001_abcdefgh Day 1_2025-12-07_150000Z.mhl");

  xmlDoc* doc = xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET);
  ASSERT_NE(doc, nullptr) << xml;
  const xmlNode* root = xmlDocGetRootElement(doc);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(root->name)), "hashlist");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(root->ns->href)), "urn:ASC:MHL:v2.0");
  EXPECT_EQ(property(root, "version"), "2.0");
  EXPECT_EQ(elementNames(root), (std::vector<std::string>{"creatorinfo", "processinfo", "hashes"}));
  const xmlNode* creator = nth(root, 0);
  EXPECT_EQ(elementNames(creator), (std::vector<std::string>{"creationdate", "hostname", "tool", "comment"}));
  xmlChar* created = xmlNodeGetContent(nth(creator, 0));
  EXPECT_TRUE(utcDateTime(reinterpret_cast<const char*>(created)));
  xmlFree(created);
  EXPECT_EQ(elementNames(nth(root, 1)), std::vector<std::string>{"process"});
  const xmlNode* first = nth(nth(root, 2), 0);
  // The path first, then the formats in the schema's order whatever order they were given in.
  EXPECT_EQ(elementNames(first), (std::vector<std::string>{"path", "c4", "md5", "xxh64"}));
  EXPECT_NE(property(nth(first, 0), "size"), "<none>");
  EXPECT_TRUE(utcDateTime(property(nth(first, 0), "lastmodificationdate")));
  EXPECT_EQ(property(nth(first, 1), "action"), "failed");
  xmlFreeDoc(doc);

  // Every name and text comes back as it went in, in whichever Unicode form it was given.
  auto parsed = Mhl::parseManifest(xml);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->hostname, manifest.hostname);
  EXPECT_EQ(parsed->comment, manifest.comment);
  ASSERT_EQ(parsed->files.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(parsed->files[i].path, manifest.files[i].path);
  EXPECT_EQ(parsed->files[0].hashes.size(), 3u);
}

TEST(Receipt, ChainGrowsKeepingEveryEarlierByte) {
  // Another tool's chain: a prefixed root, a C4 id wrapped over lines.
  const std::string theirs =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<d:ascmhldirectory xmlns:d=\"urn:ASC:MHL:DIRECTORY:v2.0\">\n"
      "<d:hashlist sequencenr=\"1\"><d:path>0001_A_2020-01-16_091500Z.mhl</d:path>\n<d:c4>c4aa\n  bb</d:c4>"
      "</d:hashlist>\n</d:ascmhldirectory>\n";
  auto grown = Mhl::chainWith(theirs, {2, "0002_A_2026-12-07_150000Z.mhl", "c4cc"});
  ASSERT_TRUE(grown);
  EXPECT_EQ(grown->substr(0, theirs.rfind("</")), theirs.substr(0, theirs.rfind("</")));
  auto entries = Mhl::parseChain(*grown);
  ASSERT_TRUE(entries && entries->size() == 2);
  EXPECT_EQ((*entries)[0].c4, "c4aabb");
  EXPECT_EQ((*entries)[1].path, "0002_A_2026-12-07_150000Z.mhl");
  EXPECT_FALSE(Mhl::chainWith("<hashlist/>", {2, "x", "c4"}));
  auto fresh = Mhl::chainWith("", {1, "0001_A & B_x.mhl", "c4dd"});
  ASSERT_TRUE(fresh);
  EXPECT_EQ(Mhl::parseChain(*fresh)->at(0).path, "0001_A & B_x.mhl");
}

TEST(Receipt, WrittenOnceUnlessSomethingChanged) {
  testing::TempDir root;
  Delivery delivery{"d1", "abcdefgh-1", "Day 1", "Feature", "Acme", "3", 1, ""};
  const fs::path folder = root.path() / "Acme" / "Feature" / "abcdefgh Day 1";
  fs::create_directories(folder);
  testing::writeText(folder / "A.mov", "abc");
  ManifestFile a{"f1", "A.mov", "3", "v1", "900150983CD24FB0D6963F7D28E17F72", "md5"};
  const ReceiptLedger nothingKept;  // as after a restart: the files are read again
  const ReceiptAuthor author{"host", "0.1.2", 1'765'119'600};
  EXPECT_EQ(writeReceipt(delivery, {a}, root.path(), nothingKept, author), ReceiptOutcome::written);
  EXPECT_EQ(writeReceipt(delivery, {a}, root.path(), nothingKept, author), ReceiptOutcome::unchanged);
  const std::string manifest = testing::readText(folder / "ascmhl" / "0001_abcdefgh Day 1_2025-12-07_150000Z.mhl");
  EXPECT_NE(manifest.find("<md5 action=\"original\">900150983cd24fb0d6963f7d28e17f72</md5>"), std::string::npos);
  EXPECT_NE(manifest.find("<xxh64 action=\"original\">44bc2cf5ad770999</xxh64>"), std::string::npos);
  testing::writeText(folder / "B.txt", "");
  ManifestFile b{"f2", "B.txt", "0", "v2", std::nullopt, std::nullopt};
  EXPECT_EQ(writeReceipt(delivery, {a, b}, root.path(), nothingKept, author), ReceiptOutcome::written);
  EXPECT_EQ(Mhl::parseChain(testing::readText(folder / "ascmhl" / "ascmhl_chain.xml"))->size(), 2u);

  // A file that fails the sender's history fails it again when the delivery completes again.
  Delivery sent{"d2", "abcdefgh-2", "Day 2", "Feature", "Acme", "3", 1, ""};
  const fs::path theirs = root.path() / "Acme" / "Feature" / "abcdefgh Day 2";
  fs::create_directories(theirs);
  testing::writeText(theirs / "A.mov", "abc");
  UniqueFd fd(::open(theirs.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  Mhl::Manifest sender{"2026-01-01T12:00:00Z", "set", "offload", "1", "", "in-place",
                       {{"A.mov", 3, "", {{HashFormat::xxh64, "44bc2cf5ad770998"}}}}};
  MhlHistory::read(fd.get()).append(fd.get(), Mhl::manifestXml(sender), "abcdefgh Day 2", "2026-01-01_120000Z");
  EXPECT_EQ(writeReceipt(sent, {a}, root.path(), nothingKept, author), ReceiptOutcome::mismatch);
  EXPECT_EQ(writeReceipt(sent, {a}, root.path(), nothingKept, author), ReceiptOutcome::mismatch);
}

}  // namespace
}  // namespace trellisant

#include "api/event_lines.h"

#include <gtest/gtest.h>

using namespace trellisant;

namespace {

std::vector<std::string> linesOf(const std::vector<std::string>& pieces) {
  std::vector<std::string> lines;
  LineReader reader;
  auto collect = [&](std::string_view line) {
    lines.emplace_back(line);
    return true;
  };
  for (auto& piece : pieces) reader.feed(piece, collect);
  reader.finish(collect);
  return lines;
}

}  // namespace

TEST(LineReader, SplitsAtEveryBreakAcrossPieces) {
  std::vector<std::string> expected{"id: 7", "data: {}", "", ":", "tail"};
  EXPECT_EQ(linesOf({"id: 7\ndata: {}\n\n:\ntail"}), expected);
  EXPECT_EQ(linesOf({"id: 7\r\ndata: {}\r\n\r\n:\r\ntail"}), expected);
  // Every way of cutting the CRLF text gives the same lines.
  std::string text = "id: 7\r\ndata: {}\r\n\r\n:\r\ntail";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    EXPECT_EQ(linesOf({text.substr(0, cut), text.substr(cut)}), expected) << cut;
  }
  std::vector<std::string> bytes;
  for (char c : text) bytes.emplace_back(1, c);
  EXPECT_EQ(linesOf(bytes), expected);
  // A lone CR is a break; CR CR is an empty line between.
  EXPECT_EQ(linesOf({"a\rb\r\rc\n"}), (std::vector<std::string>{"a", "b", "", "c"}));
  EXPECT_EQ(linesOf({"a\r", "\r", "\n", "b"}), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_TRUE(linesOf({}).empty());
}

TEST(LineReader, StopsWhenTold) {
  LineReader reader;
  int seen = 0;
  EXPECT_FALSE(reader.feed("a\nb\nc\n", [&](std::string_view) { return ++seen < 2; }));
  EXPECT_EQ(seen, 2);
}

TEST(EventCursor, IdAndDataRules) {
  EventCursor cursor(3);
  EXPECT_FALSE(cursor.read("id: 7"));
  EXPECT_EQ(cursor.last(), 7);
  EXPECT_TRUE(cursor.read("data: {}"));
  EXPECT_TRUE(cursor.read("data: "));

  EventCursor later(9);
  EXPECT_FALSE(later.read("id: 7"));
  EXPECT_EQ(later.last(), 9);

  EventCursor strict(0);
  for (const char* line :
       {"id:5", "id: 5x", "id: ", "id: 1.5", "id: 99999999999999999999", "ID: 5", " id: 5"}) {
    EXPECT_FALSE(strict.read(line)) << line;
    EXPECT_EQ(strict.last(), 0) << line;
  }
  EXPECT_FALSE(strict.read("id: +4"));
  EXPECT_EQ(strict.last(), 4);
  EXPECT_FALSE(strict.read("id: -2"));
  EXPECT_EQ(strict.last(), 4);
  for (const char* line : {"data:{}", "data", ": data: x", "event: data", ""})
    EXPECT_FALSE(strict.read(line)) << line;
}

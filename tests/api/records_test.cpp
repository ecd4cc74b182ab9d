// What the server sends, decoded without a server: records and event-stream lines.
#include <gtest/gtest.h>

#include "api/event_lines.h"
#include "api/records.h"

using namespace trellisant;

// Headers go out to the provider as given: a line break would smuggle in headers of the
// server's choosing. Sizes are decimal strings, and the snake_case keys decode too.
TEST(Records, CapabilityHeadersMustBeSendable) {
  auto decode = [](const std::string& headers, const std::string& size = R"("9")") {
    return Capability::fromJson(parseJson(R"({"url":"https://a.frame.io/b","headers":)" + headers +
                                          R"(,"size":)" + size + R"(,"fingerprint":"v"})"));
  };
  EXPECT_EQ(decode(R"({"X-Sig":"a b\tc=;/+"})").headers, (http::Headers{{"X-Sig", "a b\tc=;/+"}}));
  for (const char* bad : {R"({"X-A":"1\r\nX-Injected: yes"})", R"({"X-A":"1\nRange: bytes=0-"})",
                          R"({"X-A":"1\u0000"})", R"({"X-A\r\nHost":"x"})", R"({"X A":"1"})",
                          R"({"X:A":"1"})", R"({"":"1"})", R"({"A":1})", "[]"}) {
    EXPECT_THROW(decode(bad), DecodingError) << bad;
  }
  EXPECT_THROW(decode("{}", "9"), DecodingError);
  EXPECT_EQ(Delivery::fromJson(parseJson(R"({"id":"d","transfer_id":"t","name":"n","project_name":"p",
      "company_name":"c","total_bytes":"100","file_count":2,"state":"ready"})")).fileCount, 2);
}

TEST(EventLines, BreaksAnywhereInThePiecesAndIdsOnlyMoveForward) {
  const std::string text = "id: 7\r\ndata: {}\r\n\r\n:\r\ntail\rx\n";
  const std::vector<std::string> expected{"id: 7", "data: {}", "", ":", "tail", "x"};
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    std::vector<std::string> lines;
    LineReader reader;
    auto collect = [&](std::string_view line) { return lines.emplace_back(line), true; };
    reader.feed(text.substr(0, cut), collect);
    reader.feed(text.substr(cut), collect);
    reader.finish(collect);
    EXPECT_EQ(lines, expected) << cut;
  }

  EventCursor cursor(3);
  EXPECT_FALSE(cursor.read("id: 7"));
  EXPECT_FALSE(cursor.read("id: 5"));
  for (const char* line : {"id:9", "id: 9x", "id: ", "id: 1.5", "id: 99999999999999999999", "ID: 9",
                           "data:{}", "event: data", ""})
    EXPECT_FALSE(cursor.read(line)) << line;
  EXPECT_EQ(cursor.last(), 7);
  EXPECT_TRUE(cursor.read("data: {}"));
}

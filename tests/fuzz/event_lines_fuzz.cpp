// The event stream's body, cut into pieces the way the network may deliver it.
#include <algorithm>
#include <charconv>
#include <optional>
#include <string>
#include <vector>

#include "api/event_lines.h"
#include "fuzz_support.h"

using namespace trellisant;

namespace {

// The lines of a whole body, split the plain way: LF, CR or CRLF ends a line.
std::vector<std::string> referenceLines(std::string_view body) {
  std::vector<std::string> lines;
  std::string line;
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c != '\r' && c != '\n') {
      line.push_back(c);
      continue;
    }
    lines.push_back(line);
    line.clear();
    if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

// Int64 of the text after "id: ", computed independently of the code under test.
std::optional<std::int64_t> referenceId(std::string_view text) {
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  auto after = static_cast<std::int64_t>(input.u64());
  std::uint8_t cutSeed = input.byte();
  std::string_view body = input.rest();

  // Pieces of 1 to 16 bytes, their sizes drawn from the seed.
  std::vector<std::string> lines;
  LineReader reader;
  auto collect = [&](std::string_view line) {
    lines.emplace_back(line);
    return true;
  };
  std::uint32_t state = cutSeed * 2654435761u + 1;
  for (std::size_t at = 0; at < body.size();) {
    state = state * 1103515245u + 12345u;
    std::size_t length = std::min<std::size_t>(1 + (state >> 16) % 16, body.size() - at);
    fuzz::require(reader.feed(body.substr(at, length), collect), "feed goes on while told to");
    at += length;
  }
  fuzz::require(reader.finish(collect), "finish goes on while told to");
  auto expected = referenceLines(body);
  fuzz::require(lines == expected, "lines do not depend on how the body is cut");

  EventCursor cursor(after);
  std::int64_t highest = after;
  for (const auto& line : lines) {
    bool event = cursor.read(line);
    fuzz::require(event == line.starts_with("data: "), "only a data line is an event");
    if (line.starts_with("id: ")) {
      if (auto id = referenceId(std::string_view(line).substr(4))) highest = std::max(highest, *id);
    }
    fuzz::require(cursor.last() == highest, "the cursor keeps the largest valid id");
  }

  // A reader told to stop hands over no further line.
  if (!expected.empty()) {
    LineReader stopping;
    std::size_t seen = 0;
    bool more = stopping.feed(body, [&](std::string_view) { return ++seen < 1; });
    fuzz::require(seen <= 1 && (more || seen == 1), "stop ends the feed");
  }
  return 0;
}

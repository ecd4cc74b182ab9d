// The check that a storage provider answered with exactly the requested byte range.
#include <charconv>
#include <optional>
#include <string>

#include "download/range_transfer.h"
#include "fuzz_support.h"

using namespace trellisant;

namespace {

struct ParsedRange {
  std::int64_t start = 0, end = 0, total = 0;
};

// "bytes A-B/C" with canonical decimal numbers, read independently of the code under test.
std::optional<ParsedRange> parseContentRange(std::string_view text) {
  if (!text.starts_with("bytes ")) return std::nullopt;
  text.remove_prefix(6);
  ParsedRange out;
  auto number = [&](std::int64_t& value, char stop) {
    auto [next, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc()) return false;
    std::size_t used = static_cast<std::size_t>(next - text.data());
    if (std::to_string(value) != text.substr(0, used)) return false;  // no "+", no leading 0
    text.remove_prefix(used);
    if (stop == '\0') return text.empty();
    if (text.empty() || text.front() != stop) return false;
    text.remove_prefix(1);
    return true;
  };
  if (!number(out.start, '-') || !number(out.end, '/') || !number(out.total, '\0'))
    return std::nullopt;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  auto start = static_cast<std::int64_t>(input.u64());
  auto end = static_cast<std::int64_t>(input.u64());
  auto total = static_cast<std::int64_t>(input.u64());
  std::uint8_t shape = input.byte();
  std::string_view rest = input.rest();

  http::Response head;
  head.status = (shape & 1) ? 206 : 200 + input.byte();
  std::size_t split = rest.find('\n');
  std::string range(rest.substr(0, split));
  std::string encoding(split == std::string_view::npos ? "" : rest.substr(split + 1));
  head.headers.emplace_back((shape & 2) ? "content-range" : "Content-Range", range);
  if (shape & 4) head.headers.emplace_back("Content-Encoding", encoding);

  bool accepted = acceptsRange(head, start, end, total);
  if (accepted) {
    auto parsed = parseContentRange(range);
    fuzz::require(head.status == 206, "only a 206 is accepted");
    fuzz::require(parsed && parsed->start == start && parsed->end == end && parsed->total == total,
                  "only the exact range is accepted");
    fuzz::require(!(shape & 4) || encoding == "identity", "only the identity encoding is accepted");
  }

  // The exact answer is always accepted, with or without an identity encoding.
  http::Response exact;
  exact.status = 206;
  exact.headers.emplace_back("Content-Range", "bytes " + std::to_string(start) + "-" +
                                                  std::to_string(end) + "/" + std::to_string(total));
  if (shape & 8) exact.headers.emplace_back("content-encoding", "identity");
  fuzz::require(acceptsRange(exact, start, end, total), "the exact range is accepted");
  return 0;
}

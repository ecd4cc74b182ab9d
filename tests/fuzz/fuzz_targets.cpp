// The libFuzzer targets, one function each, for every decoder of input that other parties write.
// Each target is this file built with TRELLISANT_FUZZ_TARGET naming its function. A broken
// invariant is a crash, so libFuzzer keeps the input.
#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "api/api.h"
#include "api/event_lines.h"
#include "control/agent_status.h"
#include "download/download_messages.h"
#include "download/file_safety.h"
#include "download/range_transfer.h"
#include "settings/preferences.h"
#include "text.h"

namespace trellisant::fuzz {

void require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Whether `f` ran without throwing an Error.
template <class Error, class F>
bool survives(F f) {
  try {
    f();
    return true;
  } catch (const Error&) {
    return false;
  }
}

// Takes bytes off the front of the input for parameters; what remains is the payload.
struct Input {
  std::string_view rest;
  std::uint8_t byte() {
    auto value = static_cast<std::uint8_t>(rest.empty() ? 0 : rest.front());
    rest.remove_prefix(rest.empty() ? 0 : 1);
    return value;
  }
  std::int64_t i64() {
    std::uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value = (value << 8) | byte();
    return static_cast<std::int64_t>(value);
  }
  std::optional<Json> json() const {
    std::optional<Json> json;
    survives<DecodingError>([&] { json = parseJson(rest); });
    return json;
  }
};

// What decodes must survive being encoded and decoded again; `date` within a millisecond, as
// dates travel as doubles.
template <class Record>
void requireStable(const Record& record, const char* what, Date Record::*date = nullptr) {
  Record again = Record::fromJson(parseJson(record.toJson().dump()));
  auto close = [](Date a, Date b) { return a - b < std::chrono::milliseconds(1) && b - a < std::chrono::milliseconds(1); };
  if (date && close(again.*date, record.*date)) again.*date = record.*date;
  require(again == record, what);
}

// The record decoded from `json`, when it decodes, checked to be stable.
template <class Record>
std::optional<Record> roundTrip(const std::optional<Json>& json, const char* what, Date Record::*date = nullptr) {
  std::optional<Record> record;
  if (json && survives<DecodingError>([&] { record = Record::fromJson(*json); })) requireStable(*record, what, date);
  return record;
}

// preferences.json as any process (or a damaged disk) may leave it; the stored folder and the
// window are read from the same untrusted record.
void preferences_fuzz(Input input) {
  if (auto record = roundTrip<Preferences>(input.json(), "preferences round trip")) {
    survives<TrellisantError>([&] { record->rootPath(); });
    survives<PlatformError>([&] { record->inWindow(SystemClock::now()); });
  }
}

// The stored credentials record and the server comparison made on every request.
void credentials_fuzz(Input input) {
  auto record = roundTrip<Credentials>(input.json(), "credentials round trip", &Credentials::expiresAt);
  if (!record || !record->server) return;
  if (auto own = Url::parse(*record->server); own && own->host) require(record->matches(*record->server), "matches its own server");
  record->matches(record->accessToken);  // any other text is compared without failing
}

// status.json as the app and the control service read it.
void agent_status_fuzz(Input input) {
  if (auto status = decodeAgentStatus(input.rest)) requireStable(*status, "status round trip", &AgentStatus::updatedAt);
}

// Every record decoded from the server's answers. One document goes to all decoders, so an input
// that gets past one decoder's checks is tried on the others too.
template <class... Records>
void decodeAll(const Json& json) {
  (survives<DecodingError>([&] { (void)Records::fromJson(json); }), ...);
}

void server_records_fuzz(Input input) {
  auto json = input.json();
  roundTrip<Delivery>(json, "delivery round trip");
  roundTrip<ManifestFile>(json, "manifest file round trip");
  roundTrip<Capability>(json, "capability round trip");
  if (json) decodeAll<API::Token, API::OK, API::Deliveries, API::Manifest, API::Lease, API::Enrollment>(*json);
}

// Names chosen by the server (relative paths, company, project and transfer names) before they
// become folder and file names.
// Runs `f`; a name it refuses, it refuses only with the unsafe-name message.
void namesOrRefuses(const std::function<void()>& f) {
  try {
    f();
  } catch (const TrellisantError& error) {
    require(error.message() == DownloadMessages::unsafeName, "refused only with the unsafe-name message");
  }
}

void file_safety_fuzz(Input input) {
  namesOrRefuses([&] {
    auto pieces = FileSafety::components(input.rest);
    require(!pieces.empty(), "a path has at least one name");
    for (const auto& piece : pieces)
      require(FileSafety::safeName(piece) && piece.size() <= 240, "only safe names of 240 bytes at most");
  });
  std::string label = FileSafety::label(input.rest);
  auto separatorOrControl = [](char c) { return c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20; };
  require(!label.empty() && label != "." && label != ".." && std::ranges::none_of(label, separatorOrControl),
          "label is a usable name with no separator or control");
  // The downloader looks its folders up again under the names it opened them with.
  namesOrRefuses([&] {
    std::string name = FileSafety::component(label);
    require(FileSafety::safeName(name) && FileSafety::component(name) == name, "a folder name is made the same again");
  });
}

// The event stream's body, cut into pieces the way the network may deliver it, against a plain
// reference: LF, CR or CRLF ends a line; an id is the Int64 after "id: " (a "+" allowed).
std::vector<std::string> referenceLines(std::string_view body) {
  std::vector<std::string> lines(1);
  for (std::size_t i = 0; i < body.size(); i += body.substr(i).starts_with("\r\n") ? 2 : 1) {
    if (body[i] == '\r' || body[i] == '\n') lines.emplace_back();
    else lines.back() += body[i];
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

std::optional<std::int64_t> referenceId(std::string_view text) {
  if (text.starts_with("+-")) return std::nullopt;
  if (text.starts_with('+')) text.remove_prefix(1);
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() ? std::optional(value) : std::nullopt;
}

void event_lines_fuzz(Input input) {
  const std::int64_t after = input.i64();
  std::uint32_t state = input.byte() * 2654435761u + 1;
  const std::string_view body = input.rest;
  std::vector<std::string> lines;
  LineReader reader;
  auto collect = [&](std::string_view line) { return lines.emplace_back(line), true; };
  for (std::size_t at = 0, length = 0; at < body.size(); at += length) {  // pieces of 1 to 16 bytes
    state = state * 1103515245u + 12345u;
    length = std::min<std::size_t>(1 + (state >> 16) % 16, body.size() - at);
    require(reader.feed(body.substr(at, length), collect), "feed goes on while told to");
  }
  require(reader.finish(collect), "finish goes on while told to");
  require(lines == referenceLines(body), "lines do not depend on how the body is cut");

  EventCursor cursor(after);
  std::int64_t highest = after;
  for (const auto& line : lines) {
    require(cursor.read(line) == line.starts_with("data: "), "only a data line is an event");
    if (auto id = line.starts_with("id: ") ? referenceId(std::string_view(line).substr(4)) : std::nullopt)
      highest = std::max(highest, *id);
    require(cursor.last() == highest, "the cursor keeps the largest valid id");
  }
  // A reader told to stop hands over no further line.
  std::size_t seen = 0;
  bool more = LineReader().feed(body, [&](std::string_view) { return ++seen < 1; });
  require(lines.empty() || (seen <= 1 && (more || seen == 1)), "stop ends the feed");
}

// The check that a storage provider answered with exactly the requested byte range.
void content_range_fuzz(Input input) {
  const std::int64_t start = input.i64(), end = input.i64(), total = input.i64();
  const std::uint8_t shape = input.byte();
  const std::size_t split = input.rest.find('\n');
  const std::string range(input.rest.substr(0, split));
  const std::string encoding(split == std::string_view::npos ? "" : input.rest.substr(split + 1));
  http::Response head{.status = (shape & 1) ? 206 : 200 + input.byte(), .url = {}, .headers = {}, .body = {}};
  head.headers.emplace_back((shape & 2) ? "content-range" : "Content-Range", range);
  if (shape & 4) head.headers.emplace_back("Content-Encoding", encoding);
  // Decimal numbers are written one way only, so the exact range has one spelling.
  const std::string exact = "bytes " + std::to_string(start) + "-" + std::to_string(end) + "/" + std::to_string(total);
  if (acceptsRange(head, start, end, total))
    require(head.status == 206 && range == exact && (!(shape & 4) || encoding == "identity"),
            "only a 206 with the exact range and no encoding but identity is accepted");
  http::Response answer{.status = 206, .url = {}, .headers = {{"Content-Range", exact}}, .body = {}};
  if (shape & 8) answer.headers.emplace_back("content-encoding", "identity");
  require(acceptsRange(answer, start, end, total), "the exact range is accepted");
}

// Addresses from capabilities and redirects: the parser and the provider allow-list.
void url_fuzz(Input input) {
  auto url = Url::parse(input.rest);
  const bool local = FileSafety::allowedURL(input.rest, true), remote = FileSafety::allowedURL(input.rest, false);
  require(!remote || local, "allowing local addresses only adds addresses");
  require(url || !local, "an address that does not parse is refused");
  if (!url) return;
  std::string host = asciiLowercase(url->host.value_or(""));
  if (remote) {
    require(url->scheme == "https" && !url->user && !url->password, "providers only over https without user information");
    require(host == "storage.googleapis.com" || host.ends_with(".googleusercontent.com") || host.ends_with(".amazonaws.com") ||
                host.ends_with(".frame.io") || host.ends_with(".cloudfront.net"),
            "only provider hosts");
  } else if (local) {
    require(url->scheme == "http" && (host == "localhost" || host == "127.0.0.1"), "local addresses are http on loopback only");
  }
  url->origin();
  url->onOrigin("/api/v1/native/events");
  url->queryItems();
  url->firstQueryValue("state");
}

}  // namespace trellisant::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  trellisant::fuzz::TRELLISANT_FUZZ_TARGET({{reinterpret_cast<const char*>(data), size}});
  return 0;
}

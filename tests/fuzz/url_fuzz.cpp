// Addresses from capabilities and redirects: the parser and the provider allow-list.
#include <algorithm>
#include <cctype>

#include "url.h"
#include "download/file_safety.h"
#include "fuzz_support.h"

using namespace trellisant;

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool endsWith(const std::string& text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text = fuzz::text(data, size);
  auto url = Url::parse(text);
  bool local = FileSafety::allowedURL(text, true);
  bool remote = FileSafety::allowedURL(text, false);
  fuzz::require(!remote || local, "allowing local addresses only adds addresses");
  if (!url) {
    fuzz::require(!local, "an address that does not parse is refused");
    return 0;
  }
  if (remote) {
    std::string host = lower(url->host.value_or(""));
    fuzz::require(url->scheme == "https" && !url->user && !url->password,
                  "providers only over https without user information");
    fuzz::require(host == "storage.googleapis.com" || endsWith(host, ".googleusercontent.com") ||
                      endsWith(host, ".amazonaws.com") || endsWith(host, ".frame.io") ||
                      endsWith(host, ".cloudfront.net"),
                  "only provider hosts");
  } else if (local) {
    std::string host = lower(url->host.value_or(""));
    fuzz::require(url->scheme == "http" && (host == "localhost" || host == "127.0.0.1"),
                  "local addresses are http on localhost or 127.0.0.1 only");
  }
  url->origin();
  url->resolve("/api/v1/native/events");
  url->queryItems();
  url->firstQueryValue("state");
  return 0;
}

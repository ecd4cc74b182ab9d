// Addresses from capabilities and redirects: the parser and the provider allow-list.
#include "download/file_safety.h"
#include "fuzz_support.h"
#include "text.h"
#include "url.h"

using namespace trellisant;

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
  std::string host = asciiLowercase(url->host.value_or(""));
  if (remote) {
    fuzz::require(url->scheme == "https" && !url->user && !url->password,
                  "providers only over https without user information");
    fuzz::require(host == "storage.googleapis.com" || host.ends_with(".googleusercontent.com") ||
                      host.ends_with(".amazonaws.com") || host.ends_with(".frame.io") ||
                      host.ends_with(".cloudfront.net"),
                  "only provider hosts");
  } else if (local) {
    fuzz::require(url->scheme == "http" && (host == "localhost" || host == "127.0.0.1"),
                  "local addresses are http on localhost or 127.0.0.1 only");
  }
  url->origin();
  url->resolve("/api/v1/native/events");
  url->queryItems();
  url->firstQueryValue("state");
  return 0;
}

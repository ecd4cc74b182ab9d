#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "error.h"

namespace trellisant::http {

// Connecting, or receiving no byte at all, for this long fails a request unless it says
// otherwise.
inline constexpr std::chrono::seconds kIdleLimit{35};

using Headers = std::vector<std::pair<std::string, std::string>>;

// A failure of the transfer itself (connection, TLS, time-out), with libcurl's description
// and its CURLcode for callers that must tell them apart.
class TransportError : public PlatformError {
 public:
  TransportError(int code, const std::string& description) : PlatformError(description), code_(code) {}
  int code() const noexcept { return code_; }

 private:
  int code_;
};

// What a request fails with when the other side sends more than its buffer may hold.
TransportError tooMuchData();

// The redirect statuses; a chain is followed for at most this many hops.
bool isRedirect(long status);
inline constexpr int kMaximumRedirects = 10;

// Case-insensitive lookup of the first header with this name.
std::optional<std::string> findHeader(const Headers& headers, std::string_view name);
// Replaces every header of this name (case-insensitively) with one value.
void setHeader(Headers& headers, std::string_view name, std::string value);
void removeHeader(Headers& headers, std::string_view name);

struct Request {
  std::string method = "GET";
  std::string url;
  Headers headers;
  std::optional<std::string> body;
  std::chrono::seconds idleTimeout = kIdleLimit;
  // Limit on the whole transfer; zero means none.
  std::chrono::seconds totalTimeout{0};
  // libcurl's receive buffer; larger buffers mean fewer callbacks on fast links.
  long receiveBufferBytes = 0;
  // HTTP/2 where the server offers it; otherwise HTTP/1.1.
  bool http2 = true;
  // Follows redirects that keep the scheme, host and port, so credentials never leave the
  // server: a 307 or 308 with the same method and body, a 303 as a GET without a body, a 301
  // or 302 only for a GET. Every other redirect comes back like any other answer.
  bool followSameOrigin = false;
  // A collected body longer than this fails the request with tooMuchData().
  std::size_t bodyLimit = 8 * 1024 * 1024;
};

// One response. Unless the request follows redirects on its own origin, a 3xx comes back like
// any other status, so that the caller can check every hop.
struct Response {
  long status = 0;
  std::string url;  // the address that answered
  Headers headers;
  std::string body;  // empty when the body was streamed
  std::optional<std::string> header(std::string_view name) const { return findHeader(headers, name); }
};

// Callbacks for a streamed body. Each returns false to abort the transfer.
struct Stream {
  // Once, when the status line and headers are complete.
  std::function<bool(const Response& head)> onResponse;
  // For every piece of the body, in order.
  std::function<bool(std::string_view bytes)> onData;
  // The transfer ends at this time, whether or not bytes arrive, as if a callback had
  // returned false.
  std::optional<std::chrono::steady_clock::time_point> endAt;
};

struct StreamResult {
  Response response;  // without a body
  bool aborted = false;  // a callback returned false
};

// Connections stay open between requests (per server, one request at a time on each), HTTP/2
// where the server offers it, and TLS sessions are resumed. A request that finds its reused
// connection closed under it is sent once more on a fresh one when it is idempotent (GET, HEAD,
// PUT, DELETE) or when the server cannot have received it whole; otherwise it fails. The
// benchmark switches reuse off to show what it is worth.
void setConnectionReuse(bool reuse);

// Sends the request and collects the whole body. A transport failure is a PlatformError with
// libcurl's description; a stop request is a Cancelled failure, seen at once. libcurl's proxy
// variables (https_proxy, all_proxy, no_proxy...) are honoured for every request.
Response perform(const Request& request, std::stop_token stop = {});

// Sends the request and hands the body to the callbacks as it arrives; nothing is buffered.
StreamResult stream(const Request& request, const Stream& callbacks, std::stop_token stop = {});

}  // namespace trellisant::http

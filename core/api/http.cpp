#include "api/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>

#include "api/http_handles.h"
#include "error.h"
#include "text.h"
#include "url.h"

namespace trellisant::http {
namespace {

constexpr const char* kConnectionLost = "The network connection was lost.";

using handles::List;

struct Transfer {
  CURL* easy = nullptr;
  const Stream* callbacks = nullptr;
  std::string* body = nullptr;  // collects the body when not streaming
  std::size_t bodyLimit = 0;  // libcurl itself bounds the headers (300 KiB)
  Response response;
  bool headersDone = false;
  bool aborted = false;
  bool tooMuch = false;
  // The request body, handed to libcurl through onRead.
  std::string_view upload;
  std::size_t uploaded = 0;  // in this attempt
  bool hasBody = false;
  bool idempotent = true;
  int attempts = 0;
  bool uploadStarted = false;  // some attempt took a byte of the body
  bool refused = false;  // a second attempt that could have repeated an effect
  // What the handle points at while the transfer runs.
  char errorText[CURL_ERROR_SIZE] = {0};
  List headers;
  handles::Held held;
};

bool idempotentMethod(std::string_view method) {
  return method == "GET" || method == "HEAD" || method == "PUT" || method == "DELETE";
}

size_t onRead(char* buffer, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t length = std::min(size * count, t->upload.size() - t->uploaded);
  std::copy_n(t->upload.data() + t->uploaded, length, buffer);
  t->uploaded += length;
  if (length > 0) t->uploadStarted = true;
  return length;
}

// libcurl rewinds the body to send it again on a fresh connection; whether it may is
// onPrerequest's to decide.
int onSeek(void* user, curl_off_t offset, int origin) {
  if (offset != 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
  static_cast<Transfer*>(user)->uploaded = 0;
  return CURL_SEEKFUNC_OK;
}

// Before each attempt to send the request. libcurl tries once more on a fresh connection when
// a reused one was closed before any byte of the answer came; that is safe for an idempotent
// request, and for any other only while the server cannot have received it whole: no byte of
// its body was taken (a request without a body is whole once its head is sent).
int onPrerequest(void* user, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(user);
  if (t->attempts++ > 0) {
    bool mayHaveArrived = t->hasBody ? t->uploadStarted : true;
    if (!t->idempotent && mayHaveArrived) {
      t->refused = true;
      return CURL_PREREQFUNC_ABORT;
    }
    t->uploaded = 0;
  }
  return CURL_PREREQFUNC_OK;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string_view line(data, size * count);
  if (line.rfind("HTTP/", 0) == 0) {
    // A new status line: an interim (1xx) answer came before, or this is the first.
    t->response.headers.clear();
    return line.size();
  }
  if (line == "\r\n" || line == "\n") {
    long status = 0;
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 100 && status < 200) return line.size();
    t->response.status = status;
    char* url = nullptr;
    curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &url);
    if (url != nullptr) t->response.url = url;
    t->headersDone = true;
    if (t->callbacks != nullptr && t->callbacks->onResponse && !t->callbacks->onResponse(t->response)) {
      t->aborted = true;
      return 0;
    }
    return line.size();
  }
  auto colon = line.find(':');
  if (colon != std::string_view::npos) {
    t->response.headers.emplace_back(trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1)));
  }
  return line.size();
}

size_t onBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  size_t length = size * count;
  if (t->body != nullptr) {
    if (length > t->bodyLimit - t->body->size()) {
      t->tooMuch = true;
      return 0;
    }
    t->body->append(data, length);
    return length;
  }
  if (t->callbacks != nullptr && t->callbacks->onData &&
      !t->callbacks->onData(std::string_view(data, length))) {
    t->aborted = true;
    return 0;
  }
  return length;
}

// Points the handle at the request and at `transfer`, which collects the answer.
void configure(CURL* h, const Request& request, Transfer& transfer) {
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, transfer.errorText);
  curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  // Through a proxy, its own "200 Connection established" is not the server's answer.
  curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  long idle = static_cast<long>(request.idleTimeout.count());
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, idle);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, idle);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(request.totalTimeout.count()));
  if (request.receiveBufferBytes > 0) curl_easy_setopt(h, CURLOPT_BUFFERSIZE, request.receiveBufferBytes);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, onHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, onBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, onPrerequest);
  curl_easy_setopt(h, CURLOPT_PREREQDATA, &transfer);
  curl_easy_setopt(h, CURLOPT_HTTP_VERSION,
                   static_cast<long>(request.http2 ? CURL_HTTP_VERSION_2TLS : CURL_HTTP_VERSION_1_1));
  handles::applySharing(h, !transfer.idempotent, transfer.held);

  List& headers = transfer.headers;
  bool hasContentType = false;
  for (auto& [name, value] : request.headers) {
    if (equalsIgnoringAsciiCase(name, "Content-Type")) hasContentType = true;
    handles::append(headers, value.empty() ? name + ";" : name + ": " + value);
  }
  handles::append(headers, "Expect:");
  if (request.method == "GET") {
    curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
  }
  if (request.body) {
    // Through a read callback, so that the body is sent again only where onPrerequest allows.
    transfer.upload = *request.body;
    transfer.hasBody = !request.body->empty();
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_READFUNCTION, onRead);
    curl_easy_setopt(h, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, onSeek);
    curl_easy_setopt(h, CURLOPT_SEEKDATA, &transfer);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body->size()));
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    if (!hasContentType) handles::append(headers, "Content-Type:");
  }
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
}

struct Pumped {
  CURLcode result = CURLE_OK;
  bool finished = false;  // libcurl reported the transfer done
  bool stopped = false;
};

// Drives the transfer until it is done, stopped, or `endAt` passes.
Pumped pump(const handles::PooledHandles& handles, Transfer& transfer,
            std::chrono::steady_clock::time_point endAt, std::stop_token stop) {
  CURLM* multi = handles.multi();
  curl_multi_add_handle(multi, handles.easy());
  std::atomic<bool> stopped{false};
  std::stop_callback onStop(stop, [&] {
    stopped = true;
    curl_multi_wakeup(multi);
  });
  int running = 1;
  while (running > 0) {
    if (curl_multi_perform(multi, &running) != CURLM_OK) break;
    if (running == 0 || stopped) break;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(endAt - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      transfer.aborted = true;
      break;
    }
    auto wait = std::min(left, std::chrono::milliseconds(1000));
    curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait.count()), nullptr);
  }
  Pumped pumped;
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
    if (message->msg == CURLMSG_DONE) {
      pumped.result = message->data.result;
      pumped.finished = true;
    }
  }
  curl_multi_remove_handle(multi, handles.easy());
  pumped.stopped = stopped;
  return pumped;
}

// The answer, or the failure the transfer ended in.
Response outcome(CURL* h, Transfer& transfer, const Pumped& pumped, bool& aborted,
                 std::stop_token stop) {
  if (pumped.stopped || (!pumped.finished && stop.stop_requested())) throw Cancelled();
  if (transfer.tooMuch) throw tooMuchData();
  aborted = transfer.aborted;
  if (transfer.aborted) return transfer.response;
  if (!pumped.finished) throw PlatformError(kConnectionLost);
  if (transfer.refused) throw TransportError(CURLE_SEND_ERROR, kConnectionLost);
  if (pumped.result != CURLE_OK) {
    std::string description =
        transfer.errorText[0] != '\0' ? transfer.errorText : curl_easy_strerror(pumped.result);
    throw TransportError(static_cast<int>(pumped.result), description);
  }
  if (!transfer.headersDone) {
    long status = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
    transfer.response.status = status;
  }
  return transfer.response;
}

Response run(const Request& request, const Stream* callbacks, std::string* body, bool& aborted,
             std::stop_token stop) {
  if (stop.stop_requested()) throw Cancelled();
  handles::PooledHandles handles(request.url);
  Transfer transfer;
  transfer.easy = handles.easy();
  transfer.callbacks = callbacks;
  transfer.body = body;
  transfer.bodyLimit = request.bodyLimit;
  transfer.idempotent = idempotentMethod(request.method);
  configure(handles.easy(), request, transfer);
  auto endAt = std::chrono::steady_clock::time_point::max();
  if (callbacks != nullptr && callbacks->endAt) endAt = *callbacks->endAt;
  Pumped pumped = pump(handles, transfer, endAt, stop);
  return outcome(handles.easy(), transfer, pumped, aborted, stop);
}

// The request for the next hop when `head` is a redirect that may be followed.
std::optional<Request> sameOriginHop(const Request& request, const Response& head) {
  if (!request.followSameOrigin || !isRedirect(head.status)) return std::nullopt;
  auto location = head.header("Location");
  auto target = location ? resolveReference(request.url, *location) : std::nullopt;
  auto from = Url::parse(request.url);
  auto to = target ? Url::parse(*target) : std::nullopt;
  if (!from || !to || !to->sameOrigin(*from)) return std::nullopt;
  Request next = request;
  next.url = *target;
  if (head.status == 303) {
    next.method = "GET";
    next.body.reset();
    removeHeader(next.headers, "Content-Type");
  } else if (head.status == 301 || head.status == 302) {
    // Clients disagree on whether a POST moved this way stays a POST; rather than guess,
    // only a GET is followed.
    if (request.method != "GET") return std::nullopt;
  }
  return next;
}

}  // namespace

TransportError tooMuchData() {
  return TransportError(CURLE_FILESIZE_EXCEEDED, "The server sent more data than expected.");
}

bool isRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

std::optional<std::string> findHeader(const Headers& headers, std::string_view name) {
  for (auto& [key, value] : headers) {
    if (equalsIgnoringAsciiCase(key, name)) return value;
  }
  return std::nullopt;
}

void removeHeader(Headers& headers, std::string_view name) {
  std::erase_if(headers, [&](auto& h) { return equalsIgnoringAsciiCase(h.first, name); });
}

void setHeader(Headers& headers, std::string_view name, std::string value) {
  removeHeader(headers, name);
  headers.emplace_back(std::string(name), std::move(value));
}

Response perform(const Request& request, std::stop_token stop) {
  Request current = request;
  for (int hop = 0;; ++hop) {
    std::string body;
    bool aborted = false;
    Response response = run(current, nullptr, &body, aborted, stop);
    auto next = hop < kMaximumRedirects ? sameOriginHop(current, response) : std::nullopt;
    if (!next) {
      response.body = std::move(body);
      return response;
    }
    current = std::move(*next);
  }
}

StreamResult stream(const Request& request, const Stream& callbacks, std::stop_token stop) {
  Request current = request;
  for (int hop = 0;; ++hop) {
    std::optional<Request> next;
    Stream hopCallbacks = callbacks;
    hopCallbacks.onResponse = [&](const Response& head) {
      if (hop < kMaximumRedirects && (next = sameOriginHop(current, head))) return false;
      return !callbacks.onResponse || callbacks.onResponse(head);
    };
    StreamResult result;
    result.response = run(current, &hopCallbacks, nullptr, result.aborted, stop);
    if (!next) return result;
    current = std::move(*next);
  }
}

}  // namespace trellisant::http

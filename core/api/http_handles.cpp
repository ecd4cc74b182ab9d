#include "api/http_handles.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <vector>

#include "api/http.h"
#include "api/http_testing.h"
#include "error.h"
#include "url.h"

namespace trellisant::http {
namespace {

std::mutex overridesMutex;
std::optional<testing::Overrides> overrides;
std::atomic<bool> reuseConnections{true};

// A request with an effect reuses only a connection idle for less than a second (libcurl counts
// whole seconds), below any server's keep-alive time, so that the server does not close it
// while the request is on its way: such a request is not sent twice, and would fail.
constexpr long kEffectReuseIdleSeconds = 0;

void initializeOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyFree {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct MultiFree {
  void operator()(CURLM* h) const { curl_multi_cleanup(h); }
};

}  // namespace

namespace handles {

// A multi handle, whose cache keeps the connections open between requests, and its easy
// handle, whose cache keeps the TLS sessions to resume. One request uses them at a time, so
// neither a connection nor a session serves two threads at once. Sessions are not shared
// between handles: libcurl 7.88 hands one OpenSSL session object to handshakes on several
// threads, which OpenSSL 3.0 changes while they read it (a data race ThreadSanitizer showed).
struct Handles {
  std::unique_ptr<CURLM, MultiFree> multi{curl_multi_init()};
  std::unique_ptr<CURL, EasyFree> easy{curl_easy_init()};
  std::string origin;  // of the last request
};

namespace {

// Idle handles by the origin they last served, the most recently used last.
class HandlePool {
 public:
  std::unique_ptr<Handles> take(const std::string& origin) {
    std::lock_guard lock(mutex_);
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
      if ((*it)->origin != origin) continue;
      auto handles = std::move(*it);
      idle_.erase(std::next(it).base());
      return handles;
    }
    return nullptr;
  }
  void give(std::unique_ptr<Handles> handles) {
    std::lock_guard lock(mutex_);
    idle_.push_back(std::move(handles));
    if (idle_.size() > kIdleHandles) idle_.erase(idle_.begin());
  }
  void clear() {
    std::vector<std::unique_ptr<Handles>> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(idle_);
  }

 private:
  // The agent runs two downloads and a ticker, each talking to the server and a provider.
  static constexpr std::size_t kIdleHandles = 8;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Handles>> idle_;
};

HandlePool& pool() {
  static HandlePool* handles = new HandlePool();
  return *handles;
}

}  // namespace

void append(List& list, const std::string& line) {
  curl_slist* next = curl_slist_append(list.get(), line.c_str());
  if (next == nullptr) throw PlatformError("Out of memory.");
  list.release();
  list.reset(next);
}

PooledHandles::PooledHandles(const std::string& url) {
  initializeOnce();
  auto parsed = Url::parse(url);
  std::string origin = parsed ? parsed->origin() : url;
  if (reuseConnections) handles_ = pool().take(origin);
  if (!handles_) handles_ = std::make_unique<Handles>();
  handles_->origin = origin;
  if (!handles_->multi || !handles_->easy) throw PlatformError("Could not start a network request.");
}

PooledHandles::~PooledHandles() {
  curl_multi_remove_handle(multi(), easy());
  // Drops the options, which point at this request's buffers; keeps connections and sessions.
  curl_easy_reset(easy());
  if (reuseConnections) pool().give(std::move(handles_));
}

CURL* PooledHandles::easy() const {
  return handles_->easy.get();
}

CURLM* PooledHandles::multi() const {
  return handles_->multi.get();
}

void applySharing(CURL* h, bool hasEffect, Held& held) {
  if (reuseConnections) {
    if (hasEffect) curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, kEffectReuseIdleSeconds);
  } else {
    curl_easy_setopt(h, CURLOPT_FORBID_REUSE, 1L);
  }
  {
    std::lock_guard lock(overridesMutex);
    if (overrides) {
      for (auto& entry : overrides->resolve) append(held.resolve, entry);
      held.caFile = overrides->caFile;
      curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    }
  }
  if (held.resolve) curl_easy_setopt(h, CURLOPT_RESOLVE, held.resolve.get());
  if (!held.caFile.empty()) curl_easy_setopt(h, CURLOPT_CAINFO, held.caFile.c_str());
}

}  // namespace handles

void setConnectionReuse(bool reuse) {
  reuseConnections = reuse;
  if (!reuse) handles::pool().clear();
}

namespace testing {
// Kept connections and addresses were made under the overrides before.
void setOverrides(Overrides value) {
  std::lock_guard lock(overridesMutex);
  overrides = std::move(value);
  handles::pool().clear();
}
void clearOverrides() {
  std::lock_guard lock(overridesMutex);
  overrides.reset();
  handles::pool().clear();
}
}  // namespace testing

}  // namespace trellisant::http

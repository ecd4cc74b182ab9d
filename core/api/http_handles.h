#pragma once

// The libcurl handles behind http::perform and http::stream: pooled so that connections stay
// open and TLS sessions are resumed between requests. Internal to the HTTP layer.

#include <curl/curl.h>

#include <memory>
#include <string>

namespace trellisant::http::handles {

struct ListFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using List = std::unique_ptr<curl_slist, ListFree>;
void append(List& list, const std::string& line);

struct Handles;

// Handles for one request, back to the pool afterwards when connections are reused.
class PooledHandles {
 public:
  explicit PooledHandles(const std::string& url);
  ~PooledHandles();
  PooledHandles(const PooledHandles&) = delete;
  PooledHandles& operator=(const PooledHandles&) = delete;
  CURL* easy() const;
  CURLM* multi() const;

 private:
  std::unique_ptr<Handles> handles_;
};

// Connection reuse, or its absence, on the handle; the test overrides when set. `held` keeps
// what the handle points at for as long as the transfer runs.
struct Held {
  List resolve;
  std::string caFile;
};
void applySharing(CURL* h, bool hasEffect, Held& held);

}  // namespace trellisant::http::handles

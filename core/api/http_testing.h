#pragma once

#include <string>
#include <vector>

// For tests only: lets in-process tests reach stand-in servers under real host names.
// Production code never calls this; no option or environment variable reaches it.
namespace trellisant::http::testing {

struct Overrides {
  // libcurl resolve entries, "host:port:address".
  std::vector<std::string> resolve;
  // CA bundle to trust instead of the system's.
  std::string caFile;
};

// Applies to every request made after the call, in every thread; also bypasses proxies.
void setOverrides(Overrides overrides);
void clearOverrides();

}  // namespace trellisant::http::testing

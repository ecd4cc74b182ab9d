#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "company_server.h"
#include "provider_server.h"
#include "test_support.h"

namespace trellisant::testing {

// The storage provider and the company server, started once for the whole test binary, and
// reached under real provider host names through the HTTP layer's test overrides.
class SandboxWorld {
 public:
  static SandboxWorld& shared();

  sandbox::ProviderServer& provider() { return *provider_; }
  sandbox::CompanyServer& company() { return *company_; }
  std::shared_ptr<sandbox::DeliveryStore> store() { return store_; }

  // Writes `size` bytes of a fixed pseudo-random sequence (seeded by `seed`) to a new file.
  std::filesystem::path makeSource(const std::string& name, std::int64_t size,
                                   std::uint64_t seed = 1);
  // Offers delivery `id` of Acme / Project: a file of each size, "Reel/<id>-clipN.mov" (id
  // <id>-fN, sources seeded `seed` + N); returns it.
  sandbox::SandboxDelivery offer(const std::string& id, const std::vector<std::int64_t>& sizes,
                                 std::uint64_t seed);

 private:
  SandboxWorld();
  TempDir dir_;
  std::shared_ptr<sandbox::DeliveryStore> store_;
  std::unique_ptr<sandbox::ProviderServer> provider_;
  std::unique_ptr<sandbox::CompanyServer> company_;
};

// The first `length` bytes of `path` from `offset`.
std::string readRange(const std::filesystem::path& path, std::int64_t offset, std::int64_t length);
std::int64_t fileSize(const std::filesystem::path& path);

}  // namespace trellisant::testing

#include "sandbox_world.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <vector>

#include "api/http_testing.h"
#include "tls.h"

namespace trellisant::testing {

SandboxWorld& SandboxWorld::shared() {
  static SandboxWorld world;
  // Stops the servers before main returns. Left to static destruction, their worker threads
  // would still be serving while cpp-httplib's own statics are destroyed.
  struct Stop : ::testing::Environment {
    void TearDown() override { world.company().stop(), world.provider().stop(); }
  };
  [[maybe_unused]] static auto* stop = ::testing::AddGlobalTestEnvironment(new Stop);
  return world;
}

SandboxWorld::SandboxWorld() : store_(std::make_shared<sandbox::DeliveryStore>()) {
  fs::create_directories(dir_ / "sources");
  sandbox::ProviderServer::Options providerOptions;
  providerOptions.tlsFolder = dir_ / "tls";
  provider_ = std::make_unique<sandbox::ProviderServer>(providerOptions, store_);
  provider_->start();

  sandbox::CompanyServer::Options companyOptions;
  companyOptions.tlsFolder = dir_ / "tls";
  companyOptions.providerBase = provider_->baseUrl();
  company_ = std::make_unique<sandbox::CompanyServer>(companyOptions, store_);
  company_->start();

  std::string providerPort = std::to_string(provider_->port());
  http::testing::Overrides overrides;
  for (const char* host : {"storage.googleapis.com", "sandbox.googleusercontent.com",
                           "sandbox.frame.io", "evil.example.com"})
    overrides.resolve.push_back(std::string(host) + ":" + providerPort + ":127.0.0.1");
  overrides.resolve.push_back("trellisant.test:" + std::to_string(company_->port()) + ":127.0.0.1");
  overrides.caFile = sandbox::ensureTlsMaterial(dir_ / "tls").caFile;
  http::testing::setOverrides(overrides);
}

fs::path SandboxWorld::makeSource(const std::string& name, std::int64_t size, std::uint64_t seed) {
  fs::path path = dir_ / "sources" / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 random(seed);
  std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
  for (std::int64_t left = size; left > 0; left -= 1 << 20) {
    for (auto& word : block) word = random();
    out.write(reinterpret_cast<const char*>(block.data()), std::min<std::int64_t>(left, 1 << 20));
  }
  return path;
}

sandbox::SandboxDelivery SandboxWorld::offer(const std::string& id,
                                             const std::vector<std::int64_t>& sizes,
                                             std::uint64_t seed) {
  sandbox::SandboxDelivery delivery{.id = id,
                                    .transferId = "T" + id + "-transfer",
                                    .name = "Delivery " + id,
                                    .projectName = "Project",
                                    .companyName = "Acme",
                                    .files = {},
                                    .totalBytesText = {}};
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    auto source = makeSource(id + "-clip" + std::to_string(i) + ".mov", sizes[i], seed + i);
    delivery.files.push_back({.id = id + "-f" + std::to_string(i),
                              .relativePath = "Reel/" + source.filename().string(),
                              .fingerprint = "v1",
                              .source = source,
                              .size = sizes[i],
                              .sha256 = sha256Of(source),
                              .md5 = {},
                              .checksum = {},
                              .checksumKind = {},
                              .sizeText = {}});
  }
  company_->addDelivery(delivery);
  return delivery;
}

std::string readRange(const fs::path& path, std::int64_t offset, std::int64_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(offset);
  std::string bytes(static_cast<std::size_t>(length), '\0');
  bytes.resize(static_cast<std::size_t>(in.read(bytes.data(), length).gcount()));
  return bytes;
}

std::int64_t fileSize(const fs::path& path) {
  std::error_code error;
  auto size = fs::file_size(path, error);
  return error ? -1 : static_cast<std::int64_t>(size);
}

}  // namespace trellisant::testing

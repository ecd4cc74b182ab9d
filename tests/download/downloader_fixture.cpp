#include "downloader_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include "download/file_safety.h"
#include "unique_fd.h"
#include "settings/preferences.h"
#include "settings/vault.h"
#include "text.h"

namespace trellisant::testing {

namespace fs = std::filesystem;

void DownloaderTest::SetUp() {
  root_ = temp_ / "Footage";
  fs::create_directory(root_);
  world().provider().clearFaults();
  world().company().clearInjections();
  Vault::save(world().company().issueCredentials(std::chrono::hours(1), true));
  setReceiving(true);
  api_ = std::make_shared<API>(world().company().baseUrl());
  journal_ = std::make_shared<Journal>(temp_ / "downloads.sqlite");
  downloader_ = std::make_unique<Downloader>(api_, journal_, [this](const fs::path& folder) {
    EXPECT_EQ(folder, root_);
    ++freeSpaceCalls_;
    if (onFreeSpace_) onFreeSpace_();
    return available_;
  });
}

void DownloaderTest::TearDown() {
  world().provider().clearFaults();
}

void DownloaderTest::setReceiving(bool receiving) {
  Preferences preferences;
  preferences.receiving = receiving;
  preferences.save(Preferences::file());
}

PreparedFile DownloaderTest::prepare(std::int64_t size, std::string relativePath) {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string id = std::string(test->name()) + "-" + std::to_string(++counter_);
  if (relativePath.empty()) relativePath = "Day 1/clip-" + std::to_string(counter_) + ".mov";
  PreparedFile p;
  p.source = world().makeSource(id + ".bin", size, static_cast<std::uint64_t>(counter_) + size);
  {
    UniqueFd fd(::open(p.source.c_str(), O_RDONLY | O_CLOEXEC));
    std::tie(p.sha256, p.md5) = Downloader::hashes(fd.get());
  }
  sandbox::SandboxFile offered;
  offered.id = "file-" + id;
  offered.relativePath = relativePath;
  offered.fingerprint = "v1";
  offered.source = p.source;
  offered.size = size;
  offered.sha256 = p.sha256;
  offered.md5 = p.md5;
  offered.checksum = p.sha256;
  p.offered.id = "delivery-" + id;
  p.offered.transferId = "tr4nsf3r-" + id;
  p.offered.name = "Rushes: day/night";
  p.offered.projectName = "Feature";
  p.offered.companyName = "Acme Films";
  p.offered.files.push_back(offered);
  offer(p);

  p.delivery = {p.offered.id,
                p.offered.transferId,
                p.offered.name,
                p.offered.projectName,
                p.offered.companyName,
                std::to_string(size),
                1,
                "ready"};
  p.file = {offered.id, relativePath, std::to_string(size), "v1", p.sha256, std::nullopt};
  p.folder = root_ / "Acme Films" / "Feature" / "tr4nsf3r Rushes_ day_night";
  auto pieces = FileSafety::components(relativePath);
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) p.folder /= pieces[i];
  p.final = p.folder / pieces.back();
  p.partial = p.folder / (".trellisant-" + offered.id + ".partial");
  return p;
}

void DownloaderTest::download(const PreparedFile& prepared, std::stop_token stop) {
  downloader_->download(prepared.delivery, prepared.file, root_, 0, stop);
}

std::string DownloaderTest::failure(const PreparedFile& prepared, std::stop_token stop) {
  return failureOf([&] { download(prepared, stop); });
}

std::vector<sandbox::RecordedRequest> DownloaderTest::companyRequests(const PreparedFile& prepared,
                                                                      const std::string& suffix) {
  std::vector<sandbox::RecordedRequest> out;
  std::string path =
      "/api/v1/native/deliveries/" + percentEncode(prepared.delivery.id) + "/" + suffix;
  for (auto& request : world().company().requests()) {
    if (request.path() == path) out.push_back(request);
  }
  return out;
}

std::vector<sandbox::ProviderServer::Request> DownloaderTest::providerRequests(
    const PreparedFile& prepared) {
  std::vector<sandbox::ProviderServer::Request> out;
  for (auto& request : world().provider().requests()) {
    if (request.path == "/files/" + prepared.delivery.id + "/" + prepared.file.id)
      out.push_back(request);
  }
  return out;
}

std::vector<std::string> DownloaderTest::ranges(const PreparedFile& prepared) {
  std::vector<std::string> out;
  for (auto& request : providerRequests(prepared)) out.push_back(request.range.value_or("<none>"));
  return out;
}

}  // namespace trellisant::testing

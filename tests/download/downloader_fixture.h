#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "api/api.h"
#include "api/records.h"
#include "download/downloader.h"
#include "download/journal.h"
#include "sandbox_world.h"

namespace trellisant::testing {

// One file of one delivery, offered by the sandbox and ready to be downloaded.
struct PreparedFile {
  sandbox::SandboxDelivery offered;
  Delivery delivery;
  ManifestFile file;
  std::filesystem::path source;
  std::filesystem::path folder;   // where the file lands
  std::filesystem::path final;    // its final name
  std::filesystem::path partial;  // its hidden partial name
  std::string sha256;
  std::string md5;
};

// A signed-in device with receiving on, a fresh download folder and journal, and the shared
// company server and storage provider.
class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  SandboxWorld& world() { return SandboxWorld::shared(); }
  // Offers a file of `size` pseudo-random bytes at `relativePath` in a delivery of its own
  // (by default "Day 1/clip-N.mov", N counting the files of the test).
  PreparedFile prepare(std::int64_t size, std::string relativePath = "");
  // Replaces the offered file (for example to change what the capability announces).
  void offer(const PreparedFile& prepared) { world().store()->add(prepared.offered); }
  void download(const PreparedFile& prepared, std::stop_token stop = {});
  std::string failure(const PreparedFile& prepared, std::stop_token stop = {});
  void setReceiving(bool receiving);

  // Requests the company server and the provider saw for this file since SetUp.
  std::vector<sandbox::RecordedRequest> companyRequests(const PreparedFile& prepared,
                                                        const std::string& suffix);
  std::vector<sandbox::ProviderServer::Request> providerRequests(const PreparedFile& prepared);
  std::vector<std::string> ranges(const PreparedFile& prepared);
  Journal::Record journalRecord(const PreparedFile& prepared) {
    return journal_->record(prepared.delivery.id, prepared.file);
  }

  TempHome home_;
  TempDir temp_;
  std::filesystem::path root_;
  std::shared_ptr<API> api_;
  std::shared_ptr<Journal> journal_;
  std::optional<std::int64_t> available_ = 1'000'000'000'000'000LL;
  int freeSpaceCalls_ = 0;
  std::function<void()> onFreeSpace_;
  std::unique_ptr<Downloader> downloader_;
  int counter_ = 0;
};

}  // namespace trellisant::testing

#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

#include "digest.h"
#include "download/free_space.h"
#include "download/journal.h"
#include "download/range_transfer.h"
#include "unique_fd.h"

namespace trellisant {

class API;
class VerifyBehind;
struct Delivery;
struct ManifestFile;

// How a file reaches the disk and is verified. The defaults are what bench/receive measured
// fastest; the benchmark switches each off to show what it is worth.
struct DownloadTuning {
  TransferTuning transfer;
  // With TransferTuning::syncBehind, one syncer serves all the ranges of a file, so that a
  // range's last chunk is synced while the next range is asked for; false gives each range its
  // own, which it waits for at its end.
  bool syncAcrossRanges = true;
  // A file of more than one checkpoint is hashed behind its writer, one checkpoint back, on a
  // thread of its own, rather than read again once its last byte is there.
  bool verifyBehind = true;
  // MD5 only when the manifest's checksum is an MD5 (it costs more than twice the SHA-256);
  // the SHA-256 is always computed, since it is what the server is told.
  bool md5OnlyWhenNeeded = true;
  // Journal writes that guard no step of their own (a new row, the last range's end just
  // before the verified checkpoint, "completed" after the report) become durable with the
  // next durable write instead of a sync each.
  bool foldCommits = true;
};

// Extra digests fed by the read that verifies a file (a receipt's), so that they cost no second
// pass over its bytes.
struct VerifyingRead {
  std::function<void(const void* bytes, std::size_t count)> block;
  // Once the file verified: its SHA-256, and its MD5 where the server's checksum is one ("").
  std::function<void(const std::string& sha256, const std::string& md5)> verified;
};
using VerifyTap = std::function<VerifyingRead(const Delivery&, const ManifestFile&)>;

// Brings one file of a delivery into the download folder, resumably and verifiably, and
// reports it to the server. Keeps no per-call state, so concurrent calls may share one object.
class Downloader {
 public:
  using FreeSpaceProbe = std::function<std::optional<std::int64_t>(const std::filesystem::path&)>;
  using Tuning = DownloadTuning;

  // `receiving` tells before every range whether receiving is still switched on.
  Downloader(std::shared_ptr<API> api, std::shared_ptr<Journal> journal,
             std::function<bool()> receiving, FreeSpaceProbe freeSpace = availableBytes,
             Tuning tuning = Tuning(), VerifyTap tap = {});

  virtual ~Downloader() = default;

  // Returns once the file is in place and reported. Throws TrellisantError, PlatformError,
  // the server's errors, or Cancelled (also when receiving is switched off between ranges).
  virtual void download(const Delivery& delivery, const ManifestFile& file,
                        const std::filesystem::path& root, double bandwidthMbps, std::stop_token stop = {});

  // SHA-256 and MD5 of the whole file in lower-case hex, read with pread from offset 0.
  // Throws TrellisantError.
  static std::pair<std::string, std::string> hashes(int fd);
  // The folders the delivery's files go to below the download folder: company, project, and
  // transfer and name, as they are created (NFC, safe names).
  static std::vector<std::string> transferFolders(const Delivery& delivery);

  // Whether the server's checksum of the file is an MD5 (any other is taken for a SHA-256).
  static bool md5Checksum(const ManifestFile& file);

 private:
  void reportExisting(const Delivery& delivery, const ManifestFile& file, int existing,
                      const Journal::Record& record, std::int64_t size, std::stop_token stop);
  static UniqueFd openPartial(int folder, const std::string& partial, std::int64_t& offset,
                              std::int64_t size);
  std::int64_t fetchRange(const Delivery& delivery, const ManifestFile& file,
                          const std::filesystem::path& root, int fd, std::int64_t offset,
                          std::int64_t size, double bandwidthMbps,
                          const std::function<void(std::int64_t)>& checkpoint, SyncBehind* syncer,
                          std::stop_token stop);
  std::string verify(const Delivery& delivery, const ManifestFile& file, int fd,
                     const VerifyingRead& read, VerifyBehind* behind, std::int64_t size,
                     std::stop_token stop);
  std::vector<Digest::Kind> verifyKinds(const ManifestFile& file) const;
  Sync folded() const { return tuning_.foldCommits ? Sync::withNext : Sync::now; }

  std::shared_ptr<API> api_;
  std::shared_ptr<Journal> journal_;
  std::function<bool()> receiving_;
  FreeSpaceProbe freeSpace_;
  Tuning tuning_;
  VerifyTap tap_;
};

}  // namespace trellisant

#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "api/records.h"
#include "download/downloader.h"
#include "receipt/media_hash.h"

namespace trellisant {

// What a received file does not match: the sender's own media hash list.
inline constexpr const char* kSenderMismatch = "A received file does not match the sender’s media hash list.";

// The receipt's hashes of each file, taken from the read that verified it, kept in memory per
// delivery until its receipt is written. Files verified before the agent started are not here;
// the receipt reads those again.
class ReceiptLedger {
 public:
  // The formats a delivery's files need: xxh64, and every computable one where the delivery
  // brings a history of its own.
  void expect(const Delivery& delivery, const std::vector<ManifestFile>& files);
  VerifyingRead tap(const Delivery& delivery, const ManifestFile& file);
  std::optional<HashValues> find(const std::string& delivery, const std::string& file) const;
  void forget(const std::string& delivery);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::set<HashFormat>> formats_;
  std::map<std::string, std::map<std::string, HashValues>> values_;
};

// Who writes a receipt, and when.
struct ReceiptAuthor {
  std::string hostname;
  std::string version;
  std::int64_t now = 0;  // seconds since 1970, UTC
};

// `nothingToList`: a delivery of no files (or only of its own history) gets no receipt.
enum class ReceiptOutcome { written, unchanged, mismatch, nothingToList };

// Writes the receipt of a completed delivery into its transfer folder below `root`: the next
// generation of its media hash list (ASC MHL). `mismatch` when a file differs from the sender's
// own history (the receipt is written all the same). Throws TrellisantError or PlatformError
// when it cannot be written; the delivery's files are never changed.
ReceiptOutcome writeReceipt(const Delivery& delivery, const std::vector<ManifestFile>& files,
                            const std::filesystem::path& root, const ReceiptLedger& ledger,
                            const ReceiptAuthor& author);

// Deliveries whose receipt is due, in receipts-pending.json in the support folder, so that a
// receipt a crash or power cut prevented is written by a later pass.
class PendingReceipts {
 public:
  struct Entry {
    Delivery delivery;
    std::vector<ManifestFile> files;
  };
  explicit PendingReceipts(std::filesystem::path file = defaultFile());
  static std::filesystem::path defaultFile();

  std::vector<Entry> all() const;
  // Throw PlatformError.
  void add(const Delivery& delivery, const std::vector<ManifestFile>& files);
  void remove(const std::string& delivery);

 private:
  void save(const std::vector<Entry>& entries);
  std::filesystem::path file_;
};

}  // namespace trellisant

#pragma once

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/records.h"
#include "digest.h"

namespace trellisant::sandbox {

// One file of a sandbox delivery, served by the provider from `source`.
struct SandboxFile {
  std::string id;
  std::string relativePath;
  std::string fingerprint;
  std::filesystem::path source;
  std::int64_t size = 0;
  std::string sha256;
  std::string md5;
  // What the manifest announces; by default the SHA-256 with no kind.
  std::optional<std::string> checksum;
  std::optional<std::string> checksumKind;
  // Overrides of the manifest's "size" text (tests of hostile servers); default: size.
  std::optional<std::string> sizeText;

  // The file as the manifest announces it.
  ManifestFile announced() const;
};

struct SandboxDelivery {
  std::string id;
  std::string transferId;
  std::string name;
  std::string projectName;
  std::string companyName;
  std::string state = "ready";
  std::vector<SandboxFile> files;
  // Default: the sum of the file sizes.
  std::optional<std::string> totalBytesText;

  std::string totalBytes() const;
  // The delivery as the server's list announces it.
  Delivery announced() const;
};

// Reads every regular file below `folder` (sorted by relative path) into a delivery, with
// SHA-256 and MD5 computed from the bytes. Ids are generated unless given.
SandboxDelivery deliveryFromFolder(const std::filesystem::path& folder, std::string id,
                                   std::string companyName, std::string projectName,
                                   std::string name);


// The provider serves each file at kFilesRoot + delivery id + "/" + file id.
inline constexpr std::string_view kFilesRoot = "/files/";

// The "X-Sandbox-Signature" header value a capability carries and the provider checks:
// the SHA-256 of deliveryId + "/" + fileId + "/sandbox".
std::string capabilitySignature(const std::string& deliveryId, const std::string& fileId);

// The deliveries the sandbox offers, shared by the company server and the provider.
class DeliveryStore {
 public:
  void add(SandboxDelivery delivery);
  bool remove(const std::string& id);
  std::vector<SandboxDelivery> all() const;
  std::optional<SandboxDelivery> find(const std::string& id) const;
  std::optional<SandboxFile> findFile(const std::string& deliveryId,
                                      const std::string& fileId) const;

 private:
  mutable std::mutex mutex_;
  std::vector<SandboxDelivery> deliveries_;
};

}  // namespace trellisant::sandbox

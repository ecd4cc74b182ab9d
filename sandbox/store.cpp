#include "store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "encoding.h"
#include "error.h"
#include "unique_fd.h"

namespace trellisant::sandbox {
namespace {

struct FileDigests {
  std::int64_t size = 0;
  std::string sha256;
  std::string md5;
};

// SHA-256 and MD5 in one pass over the file.
FileDigests digestFile(const std::filesystem::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0) throw systemError(errno);
  auto both = hexDigestsOf(fd.get(), {Digest::Kind::sha256, Digest::Kind::md5});
  return {info.st_size, both[0], both[1]};
}

}  // namespace

std::string capabilitySignature(const std::string& deliveryId, const std::string& fileId) {
  return sha256Hex(deliveryId + "/" + fileId + "/sandbox");
}

std::string SandboxDelivery::totalBytes() const {
  if (totalBytesText) return *totalBytesText;
  std::int64_t total = 0;
  for (auto& file : files) total += file.size;
  return std::to_string(total);
}

Delivery SandboxDelivery::announced() const {
  auto fileCount = static_cast<std::int64_t>(files.size());
  return Delivery{id, transferId, name, projectName, companyName, totalBytes(), fileCount, state};
}

ManifestFile SandboxFile::announced() const {
  std::string announcedSize = sizeText.value_or(std::to_string(size));
  return ManifestFile{id, relativePath, announcedSize, fingerprint, checksum, checksumKind};
}

SandboxDelivery deliveryFromFolder(const std::filesystem::path& folder, std::string id,
                                   std::string companyName, std::string projectName,
                                   std::string name) {
  namespace fs = std::filesystem;
  std::vector<fs::path> paths;
  for (auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file() && !entry.is_symlink()) paths.push_back(entry.path());
  }
  std::vector<std::pair<std::string, fs::path>> sorted;
  for (auto& path : paths) sorted.emplace_back(fs::relative(path, folder).generic_string(), path);
  std::sort(sorted.begin(), sorted.end());

  SandboxDelivery delivery;
  delivery.id = id.empty() ? makeUUID() : std::move(id);
  delivery.transferId = makeUUID();
  delivery.name = std::move(name);
  delivery.projectName = std::move(projectName);
  delivery.companyName = std::move(companyName);
  for (auto& [relative, path] : sorted) {
    FileDigests digests = digestFile(path);
    SandboxFile file;
    file.id = makeUUID();
    file.relativePath = relative;
    // The content's own digest stands in for the source version: it changes when the bytes do.
    file.fingerprint = "v-" + digests.sha256.substr(0, 16);
    file.source = fs::absolute(path);
    file.size = digests.size;
    file.sha256 = digests.sha256;
    file.md5 = digests.md5;
    file.checksum = digests.sha256;
    delivery.files.push_back(std::move(file));
  }
  return delivery;
}

void DeliveryStore::add(SandboxDelivery delivery) {
  std::lock_guard lock(mutex_);
  auto existing = std::find_if(deliveries_.begin(), deliveries_.end(),
                               [&](const SandboxDelivery& d) { return d.id == delivery.id; });
  if (existing != deliveries_.end()) {
    *existing = std::move(delivery);
  } else {
    deliveries_.push_back(std::move(delivery));
  }
}

bool DeliveryStore::remove(const std::string& id) {
  std::lock_guard lock(mutex_);
  return std::erase_if(deliveries_, [&](const SandboxDelivery& d) { return d.id == id; }) > 0;
}

std::vector<SandboxDelivery> DeliveryStore::all() const {
  std::lock_guard lock(mutex_);
  return deliveries_;
}

std::optional<SandboxDelivery> DeliveryStore::find(const std::string& id) const {
  std::lock_guard lock(mutex_);
  for (auto& delivery : deliveries_) {
    if (delivery.id == id) return delivery;
  }
  return std::nullopt;
}

std::optional<SandboxFile> DeliveryStore::findFile(const std::string& deliveryId,
                                                   const std::string& fileId) const {
  std::lock_guard lock(mutex_);
  for (auto& delivery : deliveries_) {
    if (delivery.id != deliveryId) continue;
    for (auto& file : delivery.files) {
      if (file.id == fileId) return file;
    }
  }
  return std::nullopt;
}

}  // namespace trellisant::sandbox

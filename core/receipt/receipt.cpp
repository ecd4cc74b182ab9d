#include "receipt/receipt.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <memory>

#include "download/file_safety.h"
#include "error.h"
#include "fileio.h"
#include "json.h"
#include "receipt/history.h"
#include "receipt/mhl_xml.h"
#include "settings/paths.h"
#include "text.h"
#include "unique_fd.h"

namespace trellisant {
namespace {

constexpr std::string_view kTool = "Trellisant";
const std::set<HashFormat> kComputable = {HashFormat::c4,     HashFormat::md5,  HashFormat::sha1,
                                          HashFormat::xxh128, HashFormat::xxh3, HashFormat::xxh64};

bool inHistoryFolder(std::string_view relativePath) {
  return relativePath.starts_with(std::string(Mhl::kFolder) + "/");
}

std::string joined(const std::vector<std::string>& pieces) {
  std::string out;
  for (const auto& piece : pieces) out += (out.empty() ? "" : "/") + piece;
  return out;
}

// The previous generation lists the same files with the same sizes and xxh64 hashes.
bool sameFiles(const Mhl::Manifest& before, const Mhl::Manifest& now) {
  auto key = [](const Mhl::Manifest& manifest) {
    std::set<std::tuple<std::string, std::int64_t, std::string>> files;
    for (const auto& file : manifest.files) {
      std::string xxh64;
      for (const auto& hash : file.hashes)
        if (hash.format == HashFormat::xxh64) xxh64 = hash.value;
      files.emplace(nfc(file.path), file.size, xxh64);
    }
    return files;
  };
  return key(before) == key(now);
}

bool anyFailed(const Mhl::Manifest& manifest) {
  return std::any_of(manifest.files.begin(), manifest.files.end(), [](const Mhl::FileEntry& file) {
    return std::any_of(file.hashes.begin(), file.hashes.end(),
                       [](const Mhl::Hash& hash) { return hash.action == Mhl::Action::failed; });
  });
}

// One delivered file as the receipt lists it; `reference` is its entry in the newest generation.
Mhl::FileEntry entryFor(int fd, const std::string& path, std::set<HashFormat> needed, HashValues values,
                        const Mhl::FileEntry* reference, bool& differs) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
    throw TrellisantError("A received file is missing from its folder.");
  if (reference)
    for (const auto& hash : reference->hashes) needed.insert(hash.format);
  if (!std::all_of(needed.begin(), needed.end(), [&](HashFormat f) { return values.count(f) > 0; })) {
    auto read = hashFile(fd, needed);
    if (!read) throw TrellisantError("A received file could not be read for its receipt.");
    values = std::move(*read);
  }
  Mhl::FileEntry entry{path, info.st_size, Mhl::dateTime(info.st_mtim.tv_sec), {}};
  std::set<HashFormat> written;
  for (const auto& hash : reference ? reference->hashes : std::vector<Mhl::Hash>{}) {
    if (!written.insert(hash.format).second) continue;
    bool same = values.at(hash.format) == hash.value;
    differs |= !same;
    entry.hashes.push_back({hash.format, values.at(hash.format), same ? Mhl::Action::verified : Mhl::Action::failed});
  }
  for (HashFormat format : needed)
    if (written.insert(format).second) entry.hashes.push_back({format, values.at(format), Mhl::Action::original});
  return entry;
}

}  // namespace

void ReceiptLedger::expect(const Delivery& delivery, const std::vector<ManifestFile>& files) {
  bool history = std::any_of(files.begin(), files.end(),
                             [](const ManifestFile& file) { return inHistoryFolder(nfc(file.relativePath)); });
  std::lock_guard lock(mutex_);
  formats_[delivery.id] = history ? kComputable : std::set<HashFormat>{HashFormat::xxh64};
}

VerifyingRead ReceiptLedger::tap(const Delivery& delivery, const ManifestFile& file) {
  std::set<HashFormat> formats{HashFormat::xxh64};
  {
    std::lock_guard lock(mutex_);
    if (auto found = formats_.find(delivery.id); found != formats_.end()) formats = found->second;
  }
  // The verifying read computes this MD5 already.
  if (Downloader::md5Checksum(file)) formats.erase(HashFormat::md5);
  auto hasher = std::make_shared<MediaHasher>(formats);
  return {[hasher](const void* bytes, std::size_t count) { hasher->update(bytes, count); },
          [this, hasher, deliveryId = delivery.id, fileId = file.id](const std::string&, const std::string& md5) {
            HashValues values = hasher->finish();
            if (!md5.empty()) values[HashFormat::md5] = md5;
            std::lock_guard lock(mutex_);
            values_[deliveryId][fileId] = std::move(values);
          }};
}

std::optional<HashValues> ReceiptLedger::find(const std::string& delivery, const std::string& file) const {
  std::lock_guard lock(mutex_);
  auto found = values_.find(delivery);
  if (found == values_.end()) return std::nullopt;
  auto value = found->second.find(file);
  if (value == found->second.end()) return std::nullopt;
  return value->second;
}

void ReceiptLedger::forget(const std::string& delivery) {
  std::lock_guard lock(mutex_);
  formats_.erase(delivery);
  values_.erase(delivery);
}

ReceiptOutcome writeReceipt(const Delivery& delivery, const std::vector<ManifestFile>& files,
                            const std::filesystem::path& root, const ReceiptLedger& ledger,
                            const ReceiptAuthor& author) {
  // A manifest lists at least one file, and an empty delivery has no folder to hold one.
  if (std::all_of(files.begin(), files.end(),
                  [](const ManifestFile& file) { return inHistoryFolder(nfc(file.relativePath)); }))
    return ReceiptOutcome::nothingToList;
  const std::vector<std::string> transfer = Downloader::transferFolders(delivery);
  UniqueFd folder(FileSafety::directory(root, transfer));
  MhlHistory history = MhlHistory::read(folder.get());
  std::map<std::string, const Mhl::FileEntry*> listed;
  if (history.newest())
    for (const auto& entry : history.newest()->files) listed[nfc(entry.path)] = &entry;
  // Only another tool's generation is the sender's; ours is compared to see what changed.
  const bool ours = history.newest() && history.newest()->tool == kTool;

  Mhl::Manifest manifest;
  manifest.creationDate = Mhl::dateTime(author.now);
  manifest.hostname = author.hostname;
  manifest.tool = kTool;
  manifest.toolVersion = author.version;
  manifest.comment = "Delivery “" + delivery.name + "” (" + delivery.id + ") from " + delivery.companyName +
                     ", project " + delivery.projectName;
  bool differs = false;
  for (const ManifestFile& file : files) {
    std::vector<std::string> pieces = FileSafety::components(file.relativePath);
    const std::string path = joined(pieces);
    if (inHistoryFolder(path)) continue;
    std::vector<std::string> folders = transfer;
    folders.insert(folders.end(), pieces.begin(), pieces.end() - 1);
    UniqueFd dir(FileSafety::directory(root, folders));
    UniqueFd fd(::openat(dir.get(), pieces.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) throw TrellisantError("A received file is missing from its folder.");
    std::set<HashFormat> needed{HashFormat::xxh64};
    if (Downloader::md5Checksum(file)) needed.insert(HashFormat::md5);
    auto found = listed.find(path);
    manifest.files.push_back(entryFor(fd.get(), path, needed, ledger.find(delivery.id, file.id).value_or(HashValues{}),
                                      found == listed.end() ? nullptr : found->second, differs));
  }
  // A delivery completed again over our generation that found a mismatch still mismatches:
  // otherwise its retry would report it received.
  if (ours && sameFiles(*history.newest(), manifest))
    return anyFailed(*history.newest()) ? ReceiptOutcome::mismatch : ReceiptOutcome::unchanged;
  history.append(folder.get(), Mhl::manifestXml(manifest), transfer.back(), Mhl::nameStamp(author.now));
  return differs && !ours ? ReceiptOutcome::mismatch : ReceiptOutcome::written;
}

PendingReceipts::PendingReceipts(std::filesystem::path file) : file_(std::move(file)) {}

std::filesystem::path PendingReceipts::defaultFile() { return Paths::pendingReceiptsFile(); }

std::vector<PendingReceipts::Entry> PendingReceipts::all() const {
  std::vector<Entry> entries;
  try {
    Json json = parseJson(readFile(file_).value_or("[]"));
    for (const Json& item : json) {
      Entry entry{Delivery::fromJson(item.at("delivery")), {}};
      for (const Json& file : item.at("files")) entry.files.push_back(ManifestFile::fromJson(file));
      entries.push_back(std::move(entry));
    }
  } catch (const std::exception&) {
    // A damaged record costs only the receipts it named.
    return {};
  }
  return entries;
}

void PendingReceipts::add(const Delivery& delivery, const std::vector<ManifestFile>& files) {
  std::vector<Entry> entries = all();
  std::erase_if(entries, [&](const Entry& entry) { return entry.delivery.id == delivery.id; });
  entries.push_back({delivery, files});
  save(entries);
}

void PendingReceipts::remove(const std::string& delivery) {
  std::vector<Entry> entries = all();
  if (std::erase_if(entries, [&](const Entry& entry) { return entry.delivery.id == delivery; }) > 0) save(entries);
}

void PendingReceipts::save(const std::vector<Entry>& entries) {
  Json json = Json::array();
  for (const Entry& entry : entries) {
    Json files = Json::array();
    for (const ManifestFile& file : entry.files) files.push_back(file.toJson());
    json.push_back({{"delivery", entry.delivery.toJson()}, {"files", files}});
  }
  writeAtomically(file_, json.dump(), 0600);
}

}  // namespace trellisant

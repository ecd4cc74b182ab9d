#include "download/downloader.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

#include "api/api.h"
#include "api/resources.h"
#include "clock.h"
#include "digest.h"
#include "download/download_messages.h"
#include "download/file_safety.h"
#include "download/free_space.h"
#include "download/journal.h"
#include "download/range_transfer.h"
#include "download/verify_behind.h"
#include "unique_fd.h"
#include "error.h"
#include "text.h"

namespace trellisant {
namespace {

constexpr std::int64_t kRangeBytes = 64LL * 1024 * 1024;

std::string partialName(const std::string& fileId) {
  return ".trellisant-" + fileId + ".partial";
}

// The id names the partial file, so it must make one plain name that the file system can hold.
bool safeFileId(const std::string& fileId) {
  return FileSafety::safeName(fileId) && partialName(fileId).size() <= NAME_MAX;
}

// A final name shaped like a partial file could be taken over by another file's download.
bool looksLikePartial(std::string_view name) {
  return name.rfind(".trellisant-", 0) == 0 && name.size() >= 8 &&
         name.substr(name.size() - 8) == ".partial";
}

// Where a file goes below the download folder, every name in the form the folders are created
// in (NFC), so that a later lookup finds them even when the server sent decomposed names.
struct Destination {
  std::vector<std::string> folders;  // company / project / transfer and name / relative folders
  std::string name;
};

// Throws TrellisantError DownloadMessages::unsafeName.
Destination destinationOf(const Delivery& delivery, const ManifestFile& file) {
  std::vector<std::string> pieces = FileSafety::components(file.relativePath);
  Destination destination;
  destination.name = pieces.back();
  if (looksLikePartial(destination.name)) throw TrellisantError(DownloadMessages::unsafeName);
  destination.folders = Downloader::transferFolders(delivery);
  destination.folders.insert(destination.folders.end(), pieces.begin(), pieces.end() - 1);
  return destination;
}

}  // namespace

std::vector<std::string> Downloader::transferFolders(const Delivery& delivery) {
  std::vector<std::string> folders;
  for (const std::string& label :
       {FileSafety::label(delivery.companyName), FileSafety::label(delivery.projectName),
        prefixCharacters(delivery.transferId, 8) + " " + FileSafety::label(delivery.name)})
    folders.push_back(FileSafety::component(label));
  return folders;
}

namespace {

constexpr const char* kUnverifiable = "Could not verify the downloaded file.";

// A disk unmounted while files are open lives on for them where nobody can reach it (a lazy
// unmount): before the server hears that a file is in place, the folder it went to must still
// be the one the download folder leads to. Throws the disk or folder message otherwise.
void checkStillReachable(const std::filesystem::path& root, const std::vector<std::string>& names,
                         int folder) {
  constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  UniqueFd current(::open(root.c_str(), flags));
  if (!current) throw TrellisantError(DownloadMessages::diskUnavailable);
  for (const auto& name : names) {
    current = UniqueFd(::openat(current.get(), name.c_str(), flags));
    if (!current) break;
  }
  struct stat reached {}, held {};
  if (!current || ::fstat(current.get(), &reached) != 0 || ::fstat(folder, &held) != 0 ||
      reached.st_dev != held.st_dev || reached.st_ino != held.st_ino)
    throw TrellisantError(DownloadMessages::folderUnavailable);
}

std::vector<std::string> digestFile(int fd, const std::vector<Digest::Kind>& kinds,
                                    const BlockTap& tap = {}) {
  try {
    return hexDigestsOf(fd, kinds, {}, tap);
  } catch (const PlatformError&) {
    throw TrellisantError(kUnverifiable);
  }
}

struct FileDigests {
  std::string sha256;
  std::string md5;  // empty when not asked for
};

FileDigests digestsOf(int fd, bool md5, const BlockTap& tap = {}) {
  if (!md5) return {digestFile(fd, {Digest::Kind::sha256}, tap).front(), ""};
  auto both = digestFile(fd, {Digest::Kind::sha256, Digest::Kind::md5}, tap);
  return {both[0], both[1]};
}

// Whether the partial file holds the whole file with the SHA-256 the journal verified.
bool intactPartial(int folder, const std::string& partial, std::int64_t size, const std::string& sha256) {
  UniqueFd fd(::openat(folder, partial.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_size != size) return false;
  try {
    return digestsOf(fd.get(), false).sha256 == sha256;
  } catch (const TrellisantError&) {
    return false;
  }
}

}  // namespace

Downloader::Downloader(std::shared_ptr<API> api, std::shared_ptr<Journal> journal,
                       std::function<bool()> receiving, FreeSpaceProbe freeSpace, Tuning tuning,
                       VerifyTap tap)
    : api_(std::move(api)),
      journal_(std::move(journal)),
      receiving_(std::move(receiving)),
      freeSpace_(std::move(freeSpace)),
      tuning_(tuning),
      tap_(std::move(tap)) {}

bool Downloader::md5Checksum(const ManifestFile& file) { return file.checksum && file.checksumKind == "md5"; }

std::pair<std::string, std::string> Downloader::hashes(int fd) {
  FileDigests digests = digestsOf(fd, true);
  return {digests.sha256, digests.md5};
}

void Downloader::download(const Delivery& delivery, const ManifestFile& file,
                          const std::filesystem::path& root, double bandwidthMbps,
                          std::stop_token stop) {
  // Names are checked before any disk work.
  if (!safeFileId(file.id)) throw TrellisantError(DownloadMessages::unsafeName);
  const Destination destination = destinationOf(delivery, file);
  const std::string& name = destination.name;

  UniqueFd folder(FileSafety::directory(root, destination.folders));
  auto parsedSize = parseInt64(file.size);
  if (!parsedSize || *parsedSize < 0) throw TrellisantError("This file has an invalid size.");
  const std::int64_t size = *parsedSize;
  Journal::Record record = journal_->record(delivery.id, file, folded());

  // O_NONBLOCK: a FIFO planted at the name must not hang the open.
  UniqueFd existing(
      ::openat(folder.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (existing) {
    // A crash can come between a rename and its folder's sync: the name must be durable before
    // the server hears of the file again.
    ::fsync(folder.get());
    return reportExisting(delivery, file, existing.get(), record, size, stop);
  }

  const std::string partial = partialName(file.id);
  std::int64_t offset = 0;
  std::optional<std::string> verified;
  if (record.state == JournalState::partial) {
    offset = record.offset;
  } else if (record.sha256 && intactPartial(folder.get(), partial, size, *record.sha256)) {
    // Stopped after the verified checkpoint, before the rename: every byte is there already.
    offset = size;
    verified = record.sha256;
  } else {
    journal_->checkpoint(delivery.id, file.id, 0, JournalState::partial, std::nullopt);
  }
  const std::int64_t journaled = offset;
  UniqueFd fd = openPartial(folder.get(), partial, offset, size);
  // Rewriting the row with what it already holds would only cost a commit.
  if (offset != journaled) {
    verified.reset();  // the partial file changed since it was checked
    journal_->checkpoint(delivery.id, file.id, offset, JournalState::partial, std::nullopt);
  }

  VerifyingRead read;
  std::optional<VerifyBehind> behind;
  if (!verified) {
    read = tap_ ? tap_(delivery, file) : VerifyingRead{};
    if (tuning_.verifyBehind && size > kCheckpointBytes)
      behind.emplace(fd.get(), verifyKinds(file), read.block, offset);
  }
  const std::function<void(std::int64_t)> checkpoint = [&](std::int64_t at) {
    // The file's end is followed at once by the verified checkpoint, which carries it.
    journal_->checkpoint(delivery.id, file.id, at, JournalState::partial, std::nullopt,
                         at == size ? folded() : Sync::now);
    if (behind) behind->advance(at);
  };
  if (offset < size) {
    // One syncer for all the ranges of the file (declared after what its checkpoints use, so
    // that it stops first).
    std::optional<SyncBehind> syncer;
    if (tuning_.transfer.syncBehind && tuning_.syncAcrossRanges) syncer.emplace(fd.get(), checkpoint);
    while (offset < size)
      offset = fetchRange(delivery, file, root, fd.get(), offset, size, bandwidthMbps, checkpoint,
                          syncer ? &*syncer : nullptr, stop);
    if (syncer) syncer->finish(stop);
  }

  throwIfStopped(stop);
  if (!verified) {
    verified = verify(delivery, file, fd.get(), read, behind ? &*behind : nullptr, size, stop);
    journal_->checkpoint(delivery.id, file.id, size, JournalState::finalized, *verified);
  }
  const std::string sha256 = *verified;
  if (!FileSafety::renameExclusively(folder.get(), partial, name))
    throw TrellisantError("Could not finalize this file without overwriting existing footage.");
  ::fsync(folder.get());  // makes the rename durable; nothing to do if it cannot
  checkStillReachable(root, destination.folders, folder.get());
  Resources::fileComplete(*api_, delivery.id, file.id, sha256, stop);
  // Lost to a power cut, it costs one more report, which the server accepts again.
  journal_->checkpoint(delivery.id, file.id, size, JournalState::completed, sha256, folded());
}

// A file stands at the final name: this system's own finished file is reported again; any
// other file is left alone.
void Downloader::reportExisting(const Delivery& delivery, const ManifestFile& file, int existing,
                                const Journal::Record& record, std::int64_t size,
                                std::stop_token stop) {
  bool finished =
      record.state == JournalState::finalized || record.state == JournalState::completed;
  if (!finished || !record.sha256)
    throw TrellisantError("A file already exists at this destination. Choose another folder.");
  VerifyingRead read = tap_ ? tap_(delivery, file) : VerifyingRead{};
  FileDigests digests = digestsOf(existing, read.verified && md5Checksum(file), read.block);
  if (digests.sha256 != *record.sha256)
    throw TrellisantError("An existing downloaded file changed. Choose another destination.");
  if (read.verified) read.verified(digests.sha256, digests.md5);
  Resources::fileComplete(*api_, delivery.id, file.id, *record.sha256, stop);
  journal_->checkpoint(delivery.id, file.id, size, JournalState::completed, record.sha256, folded());
}

// Opens the partial file and cuts it back to what the journal confirmed (`offset` becomes the
// resume offset).
UniqueFd Downloader::openPartial(int folder, const std::string& partial, std::int64_t& offset,
                                 std::int64_t size) {
  UniqueFd fd(::openat(folder, partial.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) throw TrellisantError("Could not create a partial file on the selected disk.");
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 1 ||
      info.st_uid != ::getuid())
    throw TrellisantError("The partial download is not a regular file.");
  offset = std::min<std::int64_t>(offset, info.st_size);
  if (offset > size) throw TrellisantError("The partial file is larger than expected.");
  if (::ftruncate(fd.get(), offset) != 0)
    throw TrellisantError("Could not recover the partial file.");
  ::fsync(folder);  // its name must be durable before the journal counts a byte of it
  return fd;
}

// One range of at most 64 MiB from `offset`, after its own checks and capability; returns the
// new offset.
std::int64_t Downloader::fetchRange(const Delivery& delivery, const ManifestFile& file,
                                    const std::filesystem::path& root, int fd, std::int64_t offset,
                                    std::int64_t size, double bandwidthMbps,
                                    const std::function<void(std::int64_t)>& checkpoint,
                                    SyncBehind* syncer, std::stop_token stop) {
  throwIfStopped(stop);
  if (!receiving_()) throw Cancelled();
  const std::int64_t missing = size - offset;
  requireFreeSpace(SpaceCheck::range, freeSpace_(root), std::min(missing, kRangeBytes), missing);

  auto capability = Resources::capability(*api_, delivery.id, file.id, stop);
  if (capability.fingerprint != file.fingerprint || capability.size != file.size)
    throw TrellisantError("The original footage changed. Request a new transfer.");

  const std::int64_t end = std::min(offset + kRangeBytes, size) - 1;
  const double bandwidth = bandwidthMbps > 0 ? bandwidthMbps * 1'000'000 * 0.125 : 0;
  RangeTransfer transfer(fd, offset, end, size, bandwidth, checkpoint, tuning_.transfer, syncer);
  return transfer.run(capability.url, capability.headers, stop);
}

std::vector<Digest::Kind> Downloader::verifyKinds(const ManifestFile& file) const {
  if (md5Checksum(file) || !tuning_.md5OnlyWhenNeeded) return {Digest::Kind::sha256, Digest::Kind::md5};
  return {Digest::Kind::sha256};
}

// Checks the complete partial file against the manifest's checksum, with the digests hashed
// behind its writer or read now; returns the SHA-256. A mismatch sends the file back to the start.
std::string Downloader::verify(const Delivery& delivery, const ManifestFile& file, int fd,
                               const VerifyingRead& read, VerifyBehind* behind, std::int64_t size,
                               std::stop_token stop) {
  const bool md5Given = md5Checksum(file);
  std::vector<std::string> digests;
  if (behind) {
    try {
      digests = behind->finish(size, stop);
    } catch (const PlatformError&) {
      throw TrellisantError(kUnverifiable);
    }
  } else {
    digests = digestFile(fd, verifyKinds(file), read.block);
  }
  const std::string& sha256 = digests[0];
  const std::string md5 = digests.size() > 1 ? digests[1] : "";
  if (file.checksum) {
    const std::string& actual = md5Given ? md5 : sha256;
    if (asciiLowercase(actual) != asciiLowercase(*file.checksum)) {
      journal_->checkpoint(delivery.id, file.id, 0, JournalState::partial, std::nullopt);
      throw TrellisantError("File verification failed. Trellisant will download this file again.");
    }
  }
  if (read.verified) read.verified(sha256, md5Given ? md5 : "");
  return sha256;
}

}  // namespace trellisant

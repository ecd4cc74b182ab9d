#include "download/downloader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "unique_fd.h"
#include "downloader_fixture.h"
#include "error.h"
#include "encoding.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using sandbox::ProviderServer;
using testing::DownloaderTest;
using testing::PreparedFile;
using Fault = ProviderServer::Fault;
using Kind = ProviderServer::Fault::Kind;

constexpr std::int64_t MiB = 1024 * 1024;
const std::string kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string sha256Of(const fs::path& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_TRUE(fd) << path;
  return Downloader::hashes(fd.get()).first;
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST_F(DownloaderTest, ManyRangesEachAfterItsOwnCapability) {
  PreparedFile p = prepare(150 * MiB);
  download(p);

  EXPECT_EQ(sha256Of(p.final), p.sha256);
  EXPECT_FALSE(fs::exists(p.partial));
  EXPECT_EQ(ranges(p), (std::vector<std::string>{"bytes=0-67108863", "bytes=67108864-134217727",
                                                 "bytes=134217728-157286399"}));
  auto capabilities = companyRequests(p, "capability");
  auto fetched = providerRequests(p);
  ASSERT_EQ(capabilities.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_LE(capabilities[i].time, fetched[i].time);
    if (i + 1 < 3) {
      EXPECT_LE(fetched[i].time, capabilities[i + 1].time);
    }
    EXPECT_EQ(parseJson(capabilities[i].body), (Json{{"fileId", p.file.id}}));
  }
  auto reports = companyRequests(p, "file-complete");
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(parseJson(reports[0].body), (Json{{"fileId", p.file.id}, {"sha256", p.sha256}}));
  EXPECT_EQ(world().company().completedFiles(p.delivery.id), std::vector<std::string>{p.file.id});

  auto record = journalRecord(p);
  EXPECT_EQ(record.offset, 150 * MiB);
  EXPECT_EQ(record.state, JournalState::completed);
  EXPECT_EQ(record.sha256, p.sha256);
  EXPECT_EQ(journal_->bytes(p.delivery.id), 150 * MiB);
  EXPECT_EQ(freeSpaceCalls_, 3);

  // Created folders are private; the user's own folder keeps its mode.
  struct stat info {};
  ASSERT_EQ(::stat(p.folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST_F(DownloaderTest, EmptyFileNeedsNoCapability) {
  PreparedFile p = prepare(0, "empty.mov");
  download(p);
  EXPECT_TRUE(fs::is_regular_file(p.final));
  EXPECT_EQ(fs::file_size(p.final), 0u);
  EXPECT_TRUE(companyRequests(p, "capability").empty());
  EXPECT_TRUE(providerRequests(p).empty());
  ASSERT_EQ(companyRequests(p, "file-complete").size(), 1u);
  EXPECT_EQ(journalRecord(p).sha256, kEmptySha256);
  EXPECT_EQ(journalRecord(p).state, JournalState::completed);
}

TEST_F(DownloaderTest, SecondCallReportsAgainAndAChangedFileIsRefused) {
  PreparedFile p = prepare(MiB);
  download(p);
  download(p);
  EXPECT_EQ(companyRequests(p, "capability").size(), 1u);
  EXPECT_EQ(companyRequests(p, "file-complete").size(), 2u);
  EXPECT_EQ(journalRecord(p).state, JournalState::completed);

  // A finalized file whose report was lost is reported and completed on the next call.
  journal_->checkpoint(p.delivery.id, p.file.id, MiB, JournalState::finalized, p.sha256);
  download(p);
  EXPECT_EQ(companyRequests(p, "file-complete").size(), 3u);
  EXPECT_EQ(journalRecord(p).state, JournalState::completed);

  testing::writeText(p.final, "edited by the user");
  EXPECT_EQ(failure(p), "An existing downloaded file changed. Choose another destination.");
  EXPECT_EQ(testing::readText(p.final), "edited by the user");
  EXPECT_EQ(companyRequests(p, "file-complete").size(), 3u);
}

TEST_F(DownloaderTest, ExistingUserFileIsNeverTouched) {
  PreparedFile p = prepare(MiB);
  fs::create_directories(p.folder);
  testing::writeText(p.final, "the user's own footage");
  EXPECT_EQ(failure(p), "A file already exists at this destination. Choose another folder.");
  EXPECT_EQ(testing::readText(p.final), "the user's own footage");
  EXPECT_FALSE(fs::exists(p.partial));
  EXPECT_TRUE(companyRequests(p, "capability").empty());

  // A named pipe at the final name neither hangs the download nor gets replaced.
  PreparedFile f = prepare(MiB, "pipe.mov");
  fs::create_directories(f.folder);
  ASSERT_EQ(::mkfifo(f.final.c_str(), 0600), 0);
  EXPECT_EQ(failure(f), "A file already exists at this destination. Choose another folder.");
  EXPECT_TRUE(fs::is_fifo(f.final));

  // A symbolic link at the final name is not followed, and never replaced.
  PreparedFile q = prepare(MiB, "linked.mov");
  fs::create_directories(q.folder);
  fs::create_symlink(temp_ / "elsewhere.mov", q.final);
  EXPECT_EQ(failure(q), "Could not finalize this file without overwriting existing footage.");
  EXPECT_TRUE(fs::is_symlink(q.final));
  EXPECT_FALSE(fs::exists(temp_ / "elsewhere.mov"));
  EXPECT_EQ(journalRecord(q).state, JournalState::finalized);
  EXPECT_EQ(sha256Of(q.partial), q.sha256);  // the verified bytes wait beside it
  EXPECT_TRUE(companyRequests(q, "file-complete").empty());
}

TEST_F(DownloaderTest, ResumesFromTheSmallerOfJournalAndPartialFile) {
  // The journal is ahead of the partial file: resume where the file ends.
  PreparedFile p = prepare(3 * MiB);
  fs::create_directories(p.folder);
  journalRecord(p);
  journal_->checkpoint(p.delivery.id, p.file.id, 2 * MiB, JournalState::partial, std::nullopt);
  testing::writeText(p.partial, testing::readRange(p.source, 0, MiB));
  fs::permissions(p.partial, fs::perms(0600));
  download(p);
  EXPECT_EQ(ranges(p), std::vector<std::string>{"bytes=1048576-3145727"});
  EXPECT_EQ(sha256Of(p.final), p.sha256);

  // The partial file is ahead of the journal: bytes the journal never confirmed are dropped.
  PreparedFile q = prepare(3 * MiB);
  fs::create_directories(q.folder);
  journalRecord(q);
  journal_->checkpoint(q.delivery.id, q.file.id, MiB, JournalState::partial, std::nullopt);
  testing::writeText(q.partial, testing::readRange(q.source, 0, MiB) + std::string(MiB, 'X'));
  download(q);
  EXPECT_EQ(ranges(q), std::vector<std::string>{"bytes=1048576-3145727"});
  EXPECT_EQ(sha256Of(q.final), q.sha256);

  // Both beyond the file's size.
  PreparedFile r = prepare(MiB);
  fs::create_directories(r.folder);
  journalRecord(r);
  journal_->checkpoint(r.delivery.id, r.file.id, 2 * MiB, JournalState::partial, std::nullopt);
  testing::writeText(r.partial, std::string(2 * MiB, 'X'));
  EXPECT_EQ(failure(r), "The partial file is larger than expected.");
  EXPECT_EQ(fs::file_size(r.partial), 2u * MiB);

  // Finalized, but the final file is gone: start again from 0.
  PreparedFile s = prepare(MiB);
  journalRecord(s);
  journal_->checkpoint(s.delivery.id, s.file.id, MiB, JournalState::finalized, s.sha256);
  download(s);
  EXPECT_EQ(ranges(s), std::vector<std::string>{"bytes=0-1048575"});
  EXPECT_EQ(sha256Of(s.final), s.sha256);

  // Stopped after the verified checkpoint but before the rename: the whole partial file is
  // there, so nothing is asked for again.
  PreparedFile t = prepare(2 * MiB);
  fs::create_directories(t.folder);
  journalRecord(t);
  journal_->checkpoint(t.delivery.id, t.file.id, 2 * MiB, JournalState::finalized, t.sha256);
  fs::copy_file(t.source, t.partial);
  fs::permissions(t.partial, fs::perms(0600));
  download(t);
  EXPECT_TRUE(ranges(t).empty());
  EXPECT_EQ(sha256Of(t.final), t.sha256);
  EXPECT_FALSE(fs::exists(t.partial));
  EXPECT_EQ(companyRequests(t, "file-complete").size(), 1u);
  EXPECT_EQ(journalRecord(t).state, JournalState::completed);

  // The same, but the partial file's bytes differ from what was verified: start again.
  PreparedFile u = prepare(2 * MiB);
  fs::create_directories(u.folder);
  journalRecord(u);
  journal_->checkpoint(u.delivery.id, u.file.id, 2 * MiB, JournalState::finalized, u.sha256);
  std::string damaged = testing::readRange(u.source, 0, 2 * MiB);
  damaged[MiB] = static_cast<char>(damaged[MiB] ^ 1);
  testing::writeText(u.partial, damaged);
  fs::permissions(u.partial, fs::perms(0600));
  download(u);
  EXPECT_EQ(ranges(u), std::vector<std::string>{"bytes=0-2097151"});
  EXPECT_EQ(sha256Of(u.final), u.sha256);
}

TEST_F(DownloaderTest, NothingIsReportedFromAFolderTheDownloadFolderNoLongerLeadsTo) {
  // The download folder is moved away while the file downloads (as a disk unmounted under
  // open files would be): the file lands where the held folder went, but the server must not
  // hear of it.
  const fs::path moved = temp_ / "moved-away";
  PreparedFile p = prepare(MiB);
  onFreeSpace_ = [&] {
    fs::rename(root_, moved);
    fs::create_directories(root_);
    onFreeSpace_ = nullptr;
  };
  EXPECT_EQ(failure(p), "A destination folder is unavailable or contains a symbolic link.");
  EXPECT_TRUE(companyRequests(p, "file-complete").empty());
  EXPECT_EQ(sha256Of(moved / fs::relative(p.final, root_)), p.sha256);
  EXPECT_NE(journalRecord(p).state, JournalState::completed);

  // The download folder is gone altogether.
  fs::remove_all(root_);
  fs::rename(moved, root_);
  PreparedFile q = prepare(MiB);
  onFreeSpace_ = [&] {
    fs::rename(root_, moved);
    onFreeSpace_ = nullptr;
  };
  EXPECT_EQ(failure(q), "Your download disk is unavailable. Reconnect it to resume.");
  EXPECT_TRUE(companyRequests(q, "file-complete").empty());

  // Put back where it was, the finished file is recognised and reported.
  fs::rename(moved, root_);
  download(q);
  EXPECT_EQ(ranges(q).size(), 1u);
  EXPECT_EQ(companyRequests(q, "file-complete").size(), 1u);
  EXPECT_EQ(journalRecord(q).state, JournalState::completed);
}

TEST_F(DownloaderTest, PartialNameMustBeAPlainFileOfItsOwn) {
  PreparedFile p = prepare(MiB);
  fs::create_directories(p.folder);
  fs::create_symlink(temp_ / "target", p.partial);
  EXPECT_EQ(failure(p), "Could not create a partial file on the selected disk.");
  EXPECT_FALSE(fs::exists(temp_ / "target"));

  PreparedFile q = prepare(MiB);
  fs::create_directories(q.folder);
  testing::writeText(temp_ / "other-name", "kept");
  fs::create_hard_link(temp_ / "other-name", q.partial);
  EXPECT_EQ(failure(q), "The partial download is not a regular file.");
  EXPECT_EQ(testing::readText(temp_ / "other-name"), "kept");
  EXPECT_TRUE(providerRequests(p).empty());
  EXPECT_TRUE(providerRequests(q).empty());
}

TEST_F(DownloaderTest, ChecksumRules) {
  PreparedFile p = prepare(64 * 1024);
  p.file.checksum = upper(p.sha256);
  download(p);
  EXPECT_EQ(journalRecord(p).state, JournalState::completed);

  PreparedFile q = prepare(64 * 1024);
  q.file.checksum = q.md5;
  q.file.checksumKind = "md5";
  download(q);
  EXPECT_EQ(journalRecord(q).state, JournalState::completed);

  // "MD5" is not "md5": the SHA-256 is compared, and an MD5 value cannot match it.
  PreparedFile r = prepare(64 * 1024);
  r.file.checksum = r.md5;
  r.file.checksumKind = "MD5";
  EXPECT_EQ(failure(r), "File verification failed. Trellisant will download this file again.");
  EXPECT_FALSE(fs::exists(r.final));
  auto record = journalRecord(r);
  EXPECT_EQ(record.offset, 0);
  EXPECT_EQ(record.state, JournalState::partial);
  EXPECT_TRUE(companyRequests(r, "file-complete").empty());

  // Base64 of the right digest is not hexadecimal.
  PreparedFile s = prepare(64 * 1024);
  std::string raw;
  for (std::size_t i = 0; i < s.sha256.size(); i += 2)
    raw.push_back(static_cast<char>(std::stoi(s.sha256.substr(i, 2), nullptr, 16)));
  s.file.checksum = base64Encode(raw);
  EXPECT_EQ(failure(s), "File verification failed. Trellisant will download this file again.");

  // Without a checksum nothing is compared.
  PreparedFile t = prepare(64 * 1024);
  t.file.checksum.reset();
  download(t);
  EXPECT_EQ(journalRecord(t).sha256, t.sha256);
}

TEST_F(DownloaderTest, FreeSpaceIsCheckedBeforeAnyRequest) {
  PreparedFile p = prepare(MiB);
  const std::int64_t reserve = 10'000'000'000LL;
  for (std::optional<std::int64_t> available :
       {std::optional<std::int64_t>(), std::optional<std::int64_t>(reserve + MiB)}) {
    available_ = available;
    EXPECT_EQ(failure(p), "Free up space on the download disk to continue.");
  }
  EXPECT_TRUE(companyRequests(p, "capability").empty());
  EXPECT_TRUE(providerRequests(p).empty());
  available_ = reserve + MiB + 1;
  download(p);
  EXPECT_EQ(journalRecord(p).state, JournalState::completed);
}

TEST_F(DownloaderTest, ReceivingSwitchedOffStopsBetweenRanges) {
  PreparedFile p = prepare(66 * MiB);
  // Switched off while the first range runs (the preferences were read just before).
  onFreeSpace_ = [this] { setReceiving(false); };
  EXPECT_EQ(failure(p), "<cancelled>");
  EXPECT_EQ(ranges(p), std::vector<std::string>{"bytes=0-67108863"});
  EXPECT_EQ(journalRecord(p).offset, 64 * MiB);
  EXPECT_EQ(companyRequests(p, "capability").size(), 1u);

  // Off from the start: nothing is asked for.
  onFreeSpace_ = nullptr;
  EXPECT_EQ(failure(p), "<cancelled>");
  EXPECT_EQ(companyRequests(p, "capability").size(), 1u);

  setReceiving(true);
  download(p);
  EXPECT_EQ(ranges(p), (std::vector<std::string>{"bytes=0-67108863", "bytes=67108864-69206015"}));
  EXPECT_EQ(sha256Of(p.final), p.sha256);
}

TEST_F(DownloaderTest, BandwidthIsMegabitsPerSecond) {
  PreparedFile p = prepare(MiB);
  auto began = std::chrono::steady_clock::now();
  downloader_->download(p.delivery, p.file, root_, 16, {});  // 2,000,000 bytes per second
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 0.45);
  EXPECT_EQ(sha256Of(p.final), p.sha256);
}

TEST_F(DownloaderTest, CancellationMidRangeReturnsPromptly) {
  PreparedFile p = prepare(4 * MiB);
  world().provider().inject(Fault::trickle(256 * 1024), p.file.id);  // 16 s for the file
  std::stop_source stop;
  std::string outcome;
  auto began = std::chrono::steady_clock::now();
  std::jthread runner([&] { outcome = failure(p, stop.get_token()); });
  while (providerRequests(p).empty()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stop.request_stop();
  runner.join();
  EXPECT_EQ(outcome, "<cancelled>");
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 8.0);
  EXPECT_EQ(journalRecord(p).offset, 0);
  EXPECT_FALSE(fs::exists(p.final));
}

TEST_F(DownloaderTest, ProviderFailuresLeaveTheJournalAtItsLastCheckpoint) {
  PreparedFile p = prepare(20 * MiB);
  world().provider().inject(Fault::of(Kind::WholeFile), p.file.id, 1);
  EXPECT_EQ(failure(p),
            "The provider did not return the requested file range. Saved footage was preserved.");
  EXPECT_EQ(journalRecord(p).offset, 0);
  EXPECT_EQ(fs::file_size(p.partial), 0u);

  world().provider().inject(Fault::closeAfter(18 * MiB), p.file.id, 1);
  EXPECT_EQ(failure(p), "The download ended early. Trellisant will resume it.");
  EXPECT_EQ(journalRecord(p).offset, 16 * MiB);

  download(p);
  EXPECT_EQ(ranges(p), (std::vector<std::string>{"bytes=0-20971519", "bytes=0-20971519",
                                                 "bytes=16777216-20971519"}));
  EXPECT_EQ(sha256Of(p.final), p.sha256);
}

TEST_F(DownloaderTest, CapabilityMustMatchTheManifestExactly) {
  PreparedFile p = prepare(MiB);
  p.offered.files[0].sizeText = "0" + std::to_string(MiB);  // the same number, other text
  offer(p);
  EXPECT_EQ(failure(p), "The original footage changed. Request a new transfer.");

  p.offered.files[0].sizeText.reset();
  p.offered.files[0].fingerprint = "v2";
  offer(p);
  EXPECT_EQ(failure(p), "The original footage changed. Request a new transfer.");
  EXPECT_TRUE(providerRequests(p).empty());
}

TEST_F(DownloaderTest, UnsafeNamesAndSizesAreRefused) {
  PreparedFile p = prepare(MiB);
  const std::string kUnsafe = "This file has an unsafe destination name.";
  for (std::string id : std::vector<std::string>{"", ".", "..", "../x", "a/b", "a:b", "a\\b",
                                                 "a\nb", "e\xCC\x81", std::string(241, 'f'),
                                                 // its partial file's name would pass 255 bytes
                                                 std::string(236, 'f')}) {
    ManifestFile file = p.file;
    file.id = id;
    EXPECT_EQ(testing::failureOf([&] { downloader_->download(p.delivery, file, root_, 0); }),
              kUnsafe)
        << id;
  }
  for (std::string path :
       {"../escape.mov", "/etc/passwd", "a//b.mov", "dir/", ".trellisant-x.partial"}) {
    ManifestFile file = p.file;
    file.relativePath = path;
    EXPECT_EQ(testing::failureOf([&] { downloader_->download(p.delivery, file, root_, 0); }),
              kUnsafe)
        << path;
  }
  EXPECT_TRUE(fs::is_empty(root_));
  EXPECT_EQ(journal_->bytes(p.delivery.id), 0);

  for (std::string size : {"abc", "-1", "", "1.5", "99999999999999999999"}) {
    ManifestFile file = p.file;
    file.size = size;
    EXPECT_EQ(testing::failureOf([&] { downloader_->download(p.delivery, file, root_, 0); }),
              "This file has an invalid size.")
        << size;
  }
  EXPECT_TRUE(companyRequests(p, "capability").empty());
}

TEST_F(DownloaderTest, HashesReadTheWholeFileWithoutMovingItsPosition) {
  testing::writeText(temp_ / "abc", "abc");
  UniqueFd fd(::open((temp_ / "abc").c_str(), O_RDONLY | O_CLOEXEC));
  ::lseek(fd.get(), 2, SEEK_SET);
  auto [sha256, md5] = Downloader::hashes(fd.get());
  EXPECT_EQ(sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(md5, "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(::lseek(fd.get(), 0, SEEK_CUR), 2);

  PreparedFile p = prepare(3 * MiB + 17);
  UniqueFd source(::open(p.source.c_str(), O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(Downloader::hashes(source.get()),
            std::make_pair(p.offered.files[0].sha256, p.offered.files[0].md5));
  EXPECT_EQ(sha256Hex(testing::readRange(p.source, 0, 3 * MiB + 17)), p.sha256);

  UniqueFd writeOnly(::open((temp_ / "abc").c_str(), O_WRONLY | O_CLOEXEC));
  EXPECT_EQ(testing::failureOf([&] { Downloader::hashes(writeOnly.get()); }),
            "Could not verify the downloaded file.");
}

int openDescriptors() {
  int count = 0;
  for ([[maybe_unused]] auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(DownloaderTest, EveryPathClosesItsDescriptors) {
  PreparedFile p = prepare(MiB);
  download(p);  // warms up the HTTP layer and the journal
  int before = openDescriptors();
  download(p);  // re-report
  PreparedFile q = prepare(MiB);
  fs::create_directories(q.folder);
  testing::writeText(q.final, "user file");
  failure(q);
  PreparedFile r = prepare(MiB);
  r.file.checksum = "0";
  failure(r);
  available_.reset();
  failure(prepare(MiB));
  EXPECT_EQ(openDescriptors(), before);
}

TEST(FreeSpace, AvailableBytesOfARealFolder) {
  auto bytes = availableBytes("/");
  ASSERT_TRUE(bytes);
  EXPECT_GT(*bytes, 0);
  EXPECT_FALSE(availableBytes("/no/such/folder/anywhere"));
}

}  // namespace
}  // namespace trellisant

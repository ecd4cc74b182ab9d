#include "download/downloader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "api/api.h"
#include "digest.h"
#include "download/file_safety.h"
#include "download/range_transfer.h"
#include "download/verify_behind.h"
#include "encoding.h"
#include "fileio.h"
#include "lossy_disk.h"
#include "sandbox_world.h"
#include "settings/preferences.h"
#include "settings/vault.h"
#include "text.h"
#include "unique_fd.h"
#include "settings/paths.h"

namespace trellisant::testing {
namespace {

using Fault = sandbox::ProviderServer::Fault;
constexpr std::int64_t MiB = 1024 * 1024;

// One file of a delivery of its own, offered by the sandbox.
struct PreparedFile {
  Delivery delivery;
  ManifestFile file;
  fs::path source, final, partial;
  std::string sha256;
};

// This test's files and folders the process holds open. Other descriptors of the process (the
// servers' sockets, reused connections) come and go on their own.
std::set<std::string> openBelow(const fs::path& folder) {
  std::set<std::string> out;
  std::error_code error;  // a descriptor gone by now names nothing
  for (auto& entry : fs::directory_iterator("/proc/self/fd"))
    if (auto target = fs::read_symlink(entry.path(), error).string(); target.starts_with(folder.string()))
      out.insert(entry.path().filename().string() + " " + target);
  return out;
}

// On the calling thread and the threads it starts from now on, the kernel fails `call` on the
// descriptor `fd` (its low word) with `error`: a seccomp filter, gone with the threads.
void failCalls(unsigned call, int fd, int error) {
  sock_filter filter[] = {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 3),
                          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(fd), 0, 1),
                          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)), BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
  sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  ASSERT_TRUE(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0);
}

// A signed-in device with receiving on, a fresh download folder and journal. Every path a test
// takes must close the descriptors it opened.
class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(root_);
    provider().clearFaults();
    Vault::save(SandboxWorld::shared().company().issueCredentials(std::chrono::hours(1), true));
    Preferences preferences;
    preferences.receiving = true;
    preferences.save(Paths::preferencesFile());
    auto api = std::make_shared<API>(SandboxWorld::shared().company().baseUrl());
    downloader_ = std::make_unique<Downloader>(api, journal_, [] { return true; }, [this](const fs::path& folder) {
      EXPECT_EQ(folder, root_);
      return available_;
    });
    open_ = openBelow(temp_.path());
  }
  void TearDown() override { EXPECT_EQ(openBelow(temp_.path()), open_) << "descriptors left open"; }

  // Offers `size` pseudo-random bytes in a delivery of its own; with `folder`, the file's folder
  // is made.
  PreparedFile prepare(std::int64_t size, bool folder = false) {
    const std::uint64_t n = ++counter_;
    auto offered = SandboxWorld::shared().offer("dl" + std::to_string(n), {size}, n + size);
    const sandbox::SandboxFile& f = offered.files[0];
    fs::path final = root_ / "Acme/Project" / (offered.transferId.substr(0, 8) + " " + offered.name) / f.relativePath;
    PreparedFile p{{offered.id, offered.transferId, offered.name, "Project", "Acme", std::to_string(size), 1, "ready"},
                   {f.id, f.relativePath, std::to_string(size), "v1", f.sha256, std::nullopt},
                   f.source, final, final.parent_path() / (".trellisant-" + f.id + ".partial"), f.sha256};
    if (folder) fs::create_directories(p.final.parent_path());
    return p;
  }
  sandbox::ProviderServer& provider() { return SandboxWorld::shared().provider(); }
  void download(const PreparedFile& p, double mbps = 0) { downloader_->download(p.delivery, p.file, root_, mbps, {}); }
  std::string failure(const PreparedFile& p) { return failureOf([&] { download(p); }); }
  // Requests the company server saw at `leaf` ("capability", "file-complete") of the delivery.
  std::size_t companyRequests(const PreparedFile& p, const std::string& leaf) {
    return std::ranges::count_if(SandboxWorld::shared().company().requests(), [&](auto& r) { return r.path().ends_with(p.delivery.id + "/" + leaf); });
  }
  // The Range headers the provider saw for the file.
  std::vector<std::string> ranges(const PreparedFile& p) {
    std::vector<std::string> out;
    for (auto& request : provider().requests())
      if (request.path.ends_with("/" + p.file.id)) out.push_back(request.range.value_or("<none>"));
    return out;
  }
  Journal::Record record(const PreparedFile& p) { return journal_->record(p.delivery.id, p.file); }
  // The file's bytes from `from` to its end into `fd`, straight from the provider, as shipped.
  void transfer(const PreparedFile& p, int fd, std::int64_t from, std::function<void(std::int64_t)> checkpoint, std::stop_token stop = {}) {
    const std::int64_t size = *parseInt64(p.file.size);
    fetch(p, RangeTransfer(fd, from, size - 1, size, 0, std::move(checkpoint)), stop);
  }
  // Runs a range of the file as its capability would have it.
  std::int64_t fetch(const PreparedFile& p, RangeTransfer&& range, std::stop_token stop = {}) {
    const http::Headers headers{{"X-Sandbox-Signature", sandbox::capabilitySignature(p.delivery.id, p.file.id)}, {"Authorization", "Bearer provider-token"}};
    return range.run(provider().fileUrl("storage.googleapis.com", p.delivery.id, p.file.id), headers, stop);
  }

  TempHome home_;
  TempDir temp_;
  fs::path root_ = temp_ / "Footage";
  std::shared_ptr<Journal> journal_ = std::make_shared<Journal>(temp_ / "downloads.sqlite");
  std::optional<std::int64_t> available_ = 1'000'000'000'000'000LL;
  std::unique_ptr<Downloader> downloader_;
  std::set<std::string> open_;
  static inline std::uint64_t counter_ = 0;  // across the tests of the process, as the sandbox is
};

TEST_F(DownloaderTest, ExistingFilesAreNeverTouched) {
  const std::string exists = "A file already exists at this destination. Choose another folder.";
  const std::string finalize = "Could not finalize this file without overwriting existing footage.";
  const fs::path elsewhere = temp_ / "elsewhere", other = temp_ / "other";
  writeText(other, "kept");
  using Plant = std::function<fs::path(const PreparedFile&)>;  // puts something in the way; what to watch
  for (auto [plant, message] : std::vector<std::pair<Plant, std::string>>{
           {[](auto& p) { return writeText(p.final, "the user's own footage"), p.final; }, exists},
           {[](auto& p) { return ::mkfifo(p.final.c_str(), 0600), p.final; }, exists},  // must not hang either
           {[&](auto& p) { return fs::create_symlink(elsewhere, p.final), p.final; }, finalize},
           // The partial name must be a plain file of its own: no link, no second name of another file.
           {[&](auto& p) { return fs::create_symlink(elsewhere, p.partial), p.partial; },
            "Could not create a partial file on the selected disk."},
           {[&](auto& p) { return fs::create_hard_link(other, p.partial), other; },
            "The partial download is not a regular file."}}) {
    PreparedFile p = prepare(MiB, true);
    const fs::path planted = plant(p);
    const auto type = fs::symlink_status(planted).type();
    const std::string before = type == fs::file_type::regular ? readText(planted) : "";
    EXPECT_EQ(failure(p), message);
    EXPECT_EQ(fs::symlink_status(planted).type(), type) << message;
    EXPECT_EQ(type == fs::file_type::regular ? readText(planted) : "", before) << message;
    EXPECT_FALSE(fs::exists(elsewhere)) << message;
    EXPECT_EQ(companyRequests(p, "file-complete"), 0u);
    EXPECT_TRUE(message != finalize || sha256Of(p.partial) == p.sha256) << "the verified bytes wait beside it";
  }
  // A downloaded file the user changed since is not taken for the received one.
  PreparedFile e = prepare(MiB);
  download(e);
  download(e);  // once more: reported again, not fetched again
  EXPECT_EQ(ranges(e).size(), 1u);
  writeText(e.final, "edited by the user");
  EXPECT_EQ(failure(e), "An existing downloaded file changed. Choose another destination.");
  EXPECT_EQ(readText(e.final), "edited by the user");
  EXPECT_EQ(companyRequests(e, "file-complete"), 2u);
}

TEST_F(DownloaderTest, ResumesFromTheSmallerOfJournalAndPartialFile) {
  using Partial = std::function<std::string(std::string source)>;  // nullptr: no partial file
  auto head = [](std::int64_t n) { return [n](std::string s) { return s.substr(0, n); }; };
  Partial damaged = [](std::string s) { return s.substr(0, MiB) + static_cast<char>(s[MiB] ^ 1) + s.substr(MiB + 1); };
  Partial ahead = [](std::string s) { return s.substr(0, MiB) + std::string(MiB, 'X'); };
  Partial beyond = [](std::string) { return std::string(2 * MiB, 'X'); };
  const auto finalized = JournalState::finalized;
  for (auto [size, offset, state, partial, expected, message] :
       std::vector<std::tuple<std::int64_t, std::int64_t, JournalState, Partial, std::vector<std::string>, std::string>>{
           // The journal is ahead of the file: resume where the file ends.
           {3 * MiB, 2 * MiB, JournalState::partial, head(MiB), {"bytes=1048576-3145727"}, ""},
           // The file is ahead of the journal: bytes never confirmed are fetched again.
           {3 * MiB, MiB, JournalState::partial, ahead, {"bytes=1048576-3145727"}, ""},
           // Verified but not yet renamed: nothing is fetched again, unless the bytes differ.
           {2 * MiB, 2 * MiB, finalized, head(2 * MiB), {}, ""},
           {2 * MiB, 2 * MiB, finalized, damaged, {"bytes=0-2097151"}, ""},
           {MiB, MiB, finalized, nullptr, {"bytes=0-1048575"}, ""},  // finalized, but the file is gone
           {MiB, 2 * MiB, JournalState::partial, beyond, {}, "The partial file is larger than expected."}}) {
    PreparedFile p = prepare(size, true);
    record(p);
    journal_->checkpoint(p.delivery.id, p.file.id, offset, state, state == finalized ? std::optional(p.sha256) : std::nullopt);
    if (partial) writeText(p.partial, partial(readText(p.source)));
    if (partial) fs::permissions(p.partial, fs::perms(0600));
    EXPECT_EQ(failure(p), message);
    EXPECT_EQ(ranges(p), expected) << size << " " << offset;
    EXPECT_EQ(fs::exists(p.final) ? sha256Of(p.final) : "", message.empty() ? p.sha256 : "");
    EXPECT_EQ(fs::exists(p.partial), !message.empty()) << "kept when refused";
  }
}

TEST_F(DownloaderTest, ChecksumRules) {
  // Published answers, so that a wrong digest cannot agree with itself.
  for (auto [text, sha256, md5] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", "d41d8cd98f00b204e9800998ecf8427e"},
           {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", "900150983cd24fb0d6963f7d28e17f72"},
           {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", "7707d6ae4e027c70eea2a935c2296f21"}}) {
    writeText(temp_ / "known", text);
    EXPECT_EQ(Downloader::hashes(UniqueFd(::open((temp_ / "known").c_str(), O_RDONLY | O_CLOEXEC)).get()), std::pair(sha256, md5));
    EXPECT_EQ(sha256Of(temp_ / "known") + " " + sha256Hex(text), sha256 + " " + sha256);
  }
  using Checksum = std::function<std::string(const PreparedFile&)>;
  Checksum md5Of = [](auto& p) { return Downloader::hashes(UniqueFd(::open(p.source.c_str(), O_RDONLY | O_CLOEXEC)).get()).second; };
  Checksum sha256 = [](auto& p) { return p.sha256; }, base64 = [](auto& p) {
    std::string raw;
    for (std::size_t i = 0; i < p.sha256.size(); i += 2) raw += static_cast<char>(std::stoi(p.sha256.substr(i, 2), nullptr, 16));
    return base64Encode(raw);
  };
  for (auto [checksum, kind, passes] : std::vector<std::tuple<Checksum, std::optional<std::string>, bool>>{
           {[](auto& p) { return asciiUppercase(p.sha256); }, std::nullopt, true}, {md5Of, "md5", true},
           {nullptr, std::nullopt, true},  // nothing announced, nothing compared
           {md5Of, "MD5", false},          // "MD5" is not "md5": the SHA-256 is compared
           {md5Of, std::nullopt, false}, {sha256, "md5", false},
           {base64, std::nullopt, false}}) {  // the right digest, but not in hexadecimal
    PreparedFile p = prepare(9 * MiB + 17);  // past one checkpoint
    p.file.checksum = checksum ? std::optional(checksum(p)) : std::nullopt;
    p.file.checksumKind = kind;
    EXPECT_EQ(failure(p), passes ? "" : "File verification failed. Trellisant will download this file again.");
    EXPECT_EQ(fs::exists(p.final), passes);
    EXPECT_EQ(companyRequests(p, "file-complete"), passes ? 1u : 0u);
    auto row = record(p);
    EXPECT_EQ(row.state, passes ? JournalState::completed : JournalState::partial);
    EXPECT_EQ(row.offset, passes ? 9 * MiB + 17 : 0) << "a file that failed is fetched again from the start";
  }
}

// Bytes written past the last checkpoint are not read until it moves: here they change before
// it does. A file shorter than what was counted fails the read; a stop ends the wait.
TEST(VerifyBehindTest, ReadsOnlyWhatACheckpointCountedAndFailsWhenTheFileFallsShort) {
  TempDir temp;
  UniqueFd fd(::open((temp / "partial").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  const std::string first(3 * MiB + 5, 'a'), second(2 * MiB, 'b'), unsynced(2 * MiB, 'x');
  auto put = [&](const std::string& bytes, std::int64_t at) { ASSERT_EQ(::pwrite(fd.get(), bytes.data(), bytes.size(), at), static_cast<ssize_t>(bytes.size())); };
  std::mutex mutex;
  std::condition_variable moved;
  std::int64_t seen = 0;
  BlockTap tap = [&](const void*, std::size_t count) {
    std::lock_guard lock(mutex);
    seen += static_cast<std::int64_t>(count);
    moved.notify_all();
  };
  const auto total = static_cast<std::int64_t>(first.size() + second.size());
  VerifyBehind behind(fd.get(), {Digest::Kind::sha256, Digest::Kind::md5}, tap, 0);
  put(first, 0);
  put(unsynced, static_cast<std::int64_t>(first.size()));
  behind.advance(static_cast<std::int64_t>(first.size()));
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(moved.wait_for(lock, std::chrono::seconds(60), [&] { return seen >= static_cast<std::int64_t>(first.size()); }));
  }
  put(second, static_cast<std::int64_t>(first.size()));
  behind.advance(total);
  EXPECT_EQ(behind.finish(total, {}), hexDigestsOf(fd.get(), {Digest::Kind::sha256, Digest::Kind::md5}));
  EXPECT_EQ(seen, total);

  VerifyBehind beyond(fd.get(), {Digest::Kind::sha256}, {}, total + 1);
  EXPECT_THROW(beyond.finish(total + 1, {}), PlatformError);
  std::stop_source stop;
  stop.request_stop();
  VerifyBehind waiting(fd.get(), {Digest::Kind::sha256}, {}, 0);
  EXPECT_THROW(waiting.finish(total, stop.get_token()), Cancelled);
}

// A file of several checkpoints, cut off and resumed: the receipt's tap still sees every byte
// once, in order, and hears the verified SHA-256 (MD5 too where the server's checksum is one).
TEST_F(DownloaderTest, TheVerifyingReadBehindTheWriterFeedsTheTapEveryByteAcrossAResume) {
  struct Tapped {
    std::shared_ptr<Digest> digest = std::make_shared<Digest>(Digest::Kind::sha256);
    std::string sha256, md5;
  };
  std::vector<std::shared_ptr<Tapped>> taps;
  auto api = std::make_shared<API>(SandboxWorld::shared().company().baseUrl());
  Downloader tapped(api, journal_, [] { return true; }, [this](const fs::path&) { return available_; }, {},
                    [&](const Delivery&, const ManifestFile&) {
                      auto tap = taps.emplace_back(std::make_shared<Tapped>());
                      return VerifyingRead{[tap](const void* bytes, std::size_t count) { tap->digest->update(bytes, count); },
                                           [tap](const std::string& sha256, const std::string& md5) { tap->sha256 = sha256, tap->md5 = md5; }};
                    });
  for (bool md5 : {false, true}) {
    PreparedFile p = prepare(21 * MiB + 3);
    if (md5) p.file.checksum = Downloader::hashes(UniqueFd(::open(p.source.c_str(), O_RDONLY | O_CLOEXEC)).get()).second, p.file.checksumKind = "md5";
    provider().inject(Fault::closeAfter(18 * MiB), p.file.id, 1);
    EXPECT_EQ(failureOf([&] { tapped.download(p.delivery, p.file, root_, 0, {}); }), "The download ended early. Trellisant will resume it.");
    ASSERT_GE(record(p).offset, 8 * MiB);
    taps.clear();
    tapped.download(p.delivery, p.file, root_, 0, {});
    ASSERT_EQ(taps.size(), 1u);
    EXPECT_EQ(taps[0]->digest->finishHex() + " " + taps[0]->sha256, p.sha256 + " " + p.sha256);
    EXPECT_EQ(taps[0]->md5, md5 ? *p.file.checksum : "");
    EXPECT_EQ(sha256Of(p.final), p.sha256);
  }
}

TEST_F(DownloaderTest, TooLittleSpaceIsRefusedBeforeAnyRequestAndAUsedUpQuotaIsAFullDisk) {
  PreparedFile p = prepare(MiB);
  // The 10 GB reserve must stay free after the file; an unknown amount is not enough.
  for (std::optional<std::int64_t> available : {std::optional<std::int64_t>(), std::optional<std::int64_t>(10'000'000'000LL + MiB)}) {
    available_ = available;
    EXPECT_EQ(failure(p), "Free up space on the download disk to continue.");
  }
  EXPECT_EQ(journal_->bytes(p.delivery.id), 0);
  EXPECT_EQ(companyRequests(p, "capability"), 0u);
  EXPECT_TRUE(ranges(p).empty());
  available_ = 10'000'000'000LL + MiB + 1;
  download(p);
  EXPECT_EQ(record(p).state, JournalState::completed);

  // A used-up quota is a full disk to the user.
  UniqueFd fd(::open((temp_ / "partial").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  std::jthread([&] {
    failCalls(__NR_pwrite64, fd.get(), EDQUOT);
    EXPECT_EQ(failureOf([&] { transfer(p, fd.get(), 0, [](std::int64_t) {}); }), "Your download disk is full. Free up space to resume.");
  });
}

// The journal may lag the file by a chunk, never lead it: each checkpoint finds its bytes synced
// already (the lossy disk's backing folder holds nothing else), also when the transfer is
// cancelled while a chunk is being synced, and the range resumes from the last one. A sync that
// fails, mid-range or at its last byte, fails the transfer with the disk's sentence.
TEST_F(DownloaderTest, CheckpointsCountOnlySyncedBytesAndAFailedSyncFailsTheTransfer) {
  for (std::int64_t size : {20 * MiB, 8 * MiB}) {
    PreparedFile p = prepare(size);
    UniqueFd fd(::open((temp_ / "partial").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    std::vector<std::int64_t> counted;
    std::jthread([&] {
      failCalls(__NR_fsync, fd.get(), EIO);
      EXPECT_EQ(failureOf([&] { transfer(p, fd.get(), 0, [&](std::int64_t at) { counted.push_back(at); }); }),
                "Could not save footage to your disk.") << size;
    });
    EXPECT_TRUE(counted.empty()) << size;
  }
  // One syncer across the ranges of a file, as the downloader keeps it: the first range returns
  // with its last chunk handed over, and that chunk's failed sync fails the next range.
  {
    PreparedFile p = prepare(8 * MiB);
    UniqueFd fd(::open((temp_ / "partial").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    std::vector<std::int64_t> counted;
    const std::function<void(std::int64_t)> checkpoint = [&](std::int64_t at) { counted.push_back(at); };
    std::jthread([&] {
      failCalls(__NR_fsync, fd.get(), EIO);
      SyncBehind syncer(fd.get(), checkpoint);
      EXPECT_EQ(fetch(p, RangeTransfer(fd.get(), 0, 4 * MiB - 1, 8 * MiB, 0, checkpoint, {}, &syncer)), 4 * MiB);
      EXPECT_EQ(failureOf([&] { fetch(p, RangeTransfer(fd.get(), 4 * MiB, 8 * MiB - 1, 8 * MiB, 0, checkpoint, {}, &syncer)); }),
                "Could not save footage to your disk.");
      EXPECT_EQ(failureOf([&] { syncer.finish({}); }), "Could not save footage to your disk.");
    });
    EXPECT_TRUE(counted.empty());
  }

  // Pieces gathered into writes of a size they do not divide, or smaller than a piece, land at
  // their offsets and are counted only once written.
  for (std::int64_t gather : {100'000, 1000}) {
    const std::int64_t size = 9 * MiB + 12345;
    PreparedFile p = prepare(size);
    const fs::path partial = temp_ / "partial";
    UniqueFd fd(::open(partial.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    RangeTransfer::Tuning tuning;
    tuning.gatherBytes = gather;
    tuning.syncBehind = false;  // checkpoints on the receiving thread, where it hands bytes over
    std::vector<std::int64_t> counted;
    auto checkpoint = [&](std::int64_t at) {
      EXPECT_TRUE(readRange(partial, 0, at) == readRange(p.source, 0, at)) << gather << " counted unwritten bytes up to " << at;
      counted.push_back(at);
    };
    EXPECT_EQ(fetch(p, RangeTransfer(fd.get(), 0, size - 1, size, 0, checkpoint, tuning)), size);
    ASSERT_EQ(counted.size(), 2u) << gather;  // past 8 MiB, and at the end
    EXPECT_EQ(counted.back(), size);
    EXPECT_EQ(sha256Of(partial), p.sha256) << gather;
  }

  std::string why;
  auto disk = lossyDiskForTest(temp_.path(), why);
  if (!disk) GTEST_SKIP() << why;
  open_ = openBelow(temp_.path());
  const std::int64_t size = 40 * MiB;
  PreparedFile p = prepare(size);
  UniqueFd fd(::open((disk->mountPoint() / "clip.partial").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  std::vector<std::int64_t> counted;
  auto checkpoint = [&](std::int64_t at) {
    EXPECT_TRUE(readRange(temp_ / "backing" / "clip.partial", 0, at) == readRange(p.source, 0, at)) << "counted unsynced bytes up to " << at;
    counted.push_back(at);
  };
  disk->arm({LossyDisk::Event::fsync, "clip.partial", 1});  // held once it took effect
  std::string outcome;
  std::jthread runner([&](std::stop_token stop) { outcome = failureOf([&] { transfer(p, fd.get(), 0, checkpoint, stop); }); });
  ASSERT_TRUE(disk->waitForHold(std::chrono::seconds(30)));
  runner.request_stop();
  disk->release();
  runner.join();
  EXPECT_EQ(outcome, "<cancelled>");
  ASSERT_FALSE(counted.empty());
  EXPECT_LT(counted.back(), size);
  {
    // Resumed in two ranges with one syncer: a range's last chunk is counted only once synced.
    const std::function<void(std::int64_t)> counting = checkpoint;
    SyncBehind syncer(fd.get(), counting);
    const std::int64_t middle = counted.back() + (size - counted.back()) / 2;
    fetch(p, RangeTransfer(fd.get(), counted.back(), middle - 1, size, 0, counting, {}, &syncer));
    fetch(p, RangeTransfer(fd.get(), middle, size - 1, size, 0, counting, {}, &syncer));
    syncer.finish({});
    EXPECT_TRUE(std::ranges::find(counted, middle) != counted.end());
  }
  EXPECT_EQ(counted.back(), size);
  EXPECT_EQ(sha256Of(disk->mountPoint() / "clip.partial"), p.sha256);
}

// The download folder on a disk that forgets unsynced data and names at a power cut; the
// journal on one that keeps everything.
TEST_F(DownloaderTest, WhatTheJournalCountsAndReportsOutlastsAPowerCut) {
  std::string why;
  auto disk = lossyDiskForTest(temp_.path(), why);
  if (!disk) GTEST_SKIP() << why;
  root_ = disk->mountPoint() / "Footage";
  fs::create_directory(root_);
  ASSERT_TRUE(syncFolder(disk->mountPoint()));
  open_ = openBelow(temp_.path());
  // Folders made for a file outlast a power cut, or every synced name in them goes too.
  UniqueFd(FileSafety::directory(disk->mountPoint(), {"Acme", "Feature", "Day 1"}));
  // The journal counts bytes of the partial file only once the file's name is durable too.
  PreparedFile p = prepare(20 * MiB);
  provider().inject(Fault::closeAfter(18 * MiB), p.file.id, 1);
  EXPECT_EQ(failure(p), "The download ended early. Trellisant will resume it.");
  const std::int64_t counted = record(p).offset;
  ASSERT_GT(counted, 0);
  // A crash between the rename and its folder's sync leaves a final name that is not durable;
  // reporting the file again must make it durable first.
  PreparedFile q = prepare(MiB);
  download(q);
  fs::rename(q.final, q.partial);
  ASSERT_TRUE(syncFolder(q.final.parent_path()));
  fs::rename(q.partial, q.final);
  download(q);
  ASSERT_EQ(companyRequests(q, "file-complete"), 2u);
  disk->powerCut();
  disk->remount();
  EXPECT_TRUE(fs::is_directory(disk->mountPoint() / "Acme" / "Feature" / "Day 1"));
  EXPECT_TRUE(readRange(p.partial, 0, counted) == readRange(p.source, 0, counted)) << "bytes the journal counted lost";
  EXPECT_TRUE(readRange(q.final, 0, MiB) == readRange(q.source, 0, MiB)) << "the reported file is gone";
}

// Straight or redirected (within the host, to another provider host, relative to the answering
// address), by a capability whose headers try to bend the range and encoding. Offsets of resumed
// ranges: ResumesFromTheSmallerOfJournalAndPartialFile.
TEST_F(DownloaderTest, RangesKeepTheirBoundsAndEncodingThroughRedirectsAndAuthorizationStaysWithItsHost) {
  const std::string storage = "storage.googleapis.com", other = "sandbox.googleusercontent.com";
  for (auto [hop, host] : std::vector<std::pair<std::string, std::string>>{{"", storage}, {storage, storage}, {other, other}, {"/", storage}}) {
    PreparedFile p = prepare(2 * MiB);
    const std::string location = hop == "/" ? "/files/" + p.delivery.id + "/" + p.file.id : provider().fileUrl(hop, p.delivery.id, p.file.id);
    if (!hop.empty()) provider().inject(Fault::redirect(location + "?hop", 307), p.file.id, 1);
    const Json headers{{"X-Sandbox-Signature", sandbox::capabilitySignature(p.delivery.id, p.file.id)},
                       {"Authorization", "Bearer provider-token"}, {"range", "bytes=0-"}, {"ACCEPT-ENCODING", "gzip"}};
    SandboxWorld::shared().company().inject("POST", "/api/v1/native/deliveries/" + p.delivery.id + "/capability", 200,
                                            Json{{"url", provider().fileUrl(storage, p.delivery.id, p.file.id)}, {"headers", headers}, {"size", p.file.size}, {"fingerprint", "v1"}}.dump(), 1);
    download(p);
    EXPECT_EQ(sha256Of(p.final), p.sha256);
    std::vector<sandbox::ProviderServer::Request> sent;
    std::ranges::copy_if(provider().requests(), std::back_inserter(sent), [&](auto& r) { return r.path.ends_with(p.file.id); });
    ASSERT_EQ(sent.size(), hop.empty() ? 1u : 2u) << hop;
    EXPECT_EQ(sent.back().header("Host")->rfind(host, 0), 0u) << hop;
    EXPECT_EQ(sent.back().header("Authorization").has_value(), host == storage) << hop;
    EXPECT_EQ(sent.back().range, "bytes=0-2097151");
    EXPECT_EQ(sent.back().header("Accept-Encoding"), "identity");
  }
}

TEST_F(DownloaderTest, BandwidthIsMegabitsPerSecondOnAverageAndCancellationEndsASlowOrThrottledDownloadAtOnce) {
  PreparedFile whole = prepare(2 * MiB);
  auto began = std::chrono::steady_clock::now();
  download(whole, 16);  // 2,000,000 bytes per second: 1.05 s
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  EXPECT_GE(took, 0.9);
  EXPECT_LE(took, 6.0);  // bits taken for bytes would need 8.4 s
  EXPECT_EQ(sha256Of(whole.final), whole.sha256);
  // 64 KiB/s from the provider, or a limit of 0.8 Mbit/s: the file would need 10 s or more.
  for (double mbps : {0.0, 0.8}) {
    PreparedFile p = prepare(MiB);
    if (mbps == 0) provider().inject(Fault::trickle(64 * 1024), p.file.id, 1);
    std::string outcome;
    std::jthread runner([&](std::stop_token stop) { outcome = failureOf([&] { downloader_->download(p.delivery, p.file, root_, mbps, stop); }); });
    ASSERT_TRUE(waitUntil([&] { return fileSize(p.partial) > 0; }));
    auto asked = std::chrono::steady_clock::now();
    runner.request_stop();
    runner.join();
    EXPECT_EQ(outcome, "<cancelled>") << mbps;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(4)) << mbps;
    EXPECT_TRUE(mbps > 0 || fileSize(p.partial) < MiB);  // the throttle may hold what it has
  }
}

}  // namespace
}  // namespace trellisant::testing

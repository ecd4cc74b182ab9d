// The byte path's speed levers (early write-back, receive buffer, MD5 only when asked for)
// must not change what reaches the disk, the journal or the verdict of verification.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "download/downloader.h"
#include "download/range_transfer.h"
#include "downloader_fixture.h"
#include "unique_fd.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
constexpr std::int64_t MiB = 1024 * 1024;

TEST(TransferTuningTest, EveryTuningWritesTheSameBytesAndCheckpoints) {
  auto& world = testing::SandboxWorld::shared();
  const fs::path source = world.makeSource("tuning-source.bin", 20 * MiB, 11);
  world.addDelivery("d-tuning", "f-tuning", source);
  testing::TempDir temp;

  TransferTuning kernelOnly;
  kernelOnly.writeBehindBytes = 0;
  kernelOnly.receiveBufferBytes = 0;
  TransferTuning coarse;
  coarse.writeBehindBytes = 5 * MiB;
  int round = 0;
  for (const TransferTuning& tuning : {TransferTuning(), kernelOnly, coarse}) {
    const fs::path partial = temp / ("partial-" + std::to_string(++round));
    UniqueFd fd(::open(partial.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd);
    std::mutex mutex;
    std::vector<std::int64_t> checkpoints;
    RangeTransfer transfer(fd.get(), 3 * MiB, 20 * MiB - 1, 20 * MiB, 0, false,
                           [&](std::int64_t at) {
                             std::lock_guard lock(mutex);
                             checkpoints.push_back(at);
                           },
                           tuning);
    EXPECT_EQ(transfer.run(world.provider().fileUrl("storage.googleapis.com", "d-tuning", "f-tuning"),
                           {{"X-Sandbox-Signature", sandbox::capabilitySignature("d-tuning", "f-tuning")}}),
              20 * MiB);
    EXPECT_EQ(checkpoints, (std::vector<std::int64_t>{11 * MiB, 19 * MiB, 20 * MiB})) << round;
    EXPECT_EQ(testing::readRange(partial, 3 * MiB, 17 * MiB),
              testing::readRange(source, 3 * MiB, 17 * MiB))
        << round;
  }
}

using testing::DownloaderTest;
using testing::PreparedFile;

// With MD5 only when asked for, or always, the right checksum passes, a wrong one fails, and
// the journal keeps the SHA-256 either way.
TEST_F(DownloaderTest, EveryDigestTuningVerifiesAlike) {
  DownloadTuning md5Always;
  md5Always.md5OnlyWhenNeeded = false;
  md5Always.transfer.writeBehindBytes = 0;
  for (const DownloadTuning& tuning : {DownloadTuning(), md5Always}) {
    downloader_ = std::make_unique<Downloader>(
        api_, journal_, [](const fs::path&) { return std::optional<std::int64_t>(1LL << 50); },
        tuning);
    PreparedFile md5 = prepare(9 * MiB + 17);
    md5.file.checksum = md5.md5;
    md5.file.checksumKind = "md5";
    download(md5);
    EXPECT_EQ(journalRecord(md5).state, JournalState::completed);
    EXPECT_EQ(journalRecord(md5).sha256, md5.sha256);
    EXPECT_EQ(testing::readRange(md5.final, 0, 9 * MiB + 17),
              testing::readRange(md5.source, 0, 9 * MiB + 17));

    PreparedFile wrong = prepare(3 * MiB);
    wrong.file.checksum = wrong.sha256;  // a SHA-256 where an MD5 is announced
    wrong.file.checksumKind = "md5";
    EXPECT_EQ(failure(wrong), "File verification failed. Trellisant will download this file again.");
    EXPECT_FALSE(fs::exists(wrong.final));

    PreparedFile sha = prepare(2 * MiB);
    download(sha);
    EXPECT_EQ(journalRecord(sha).sha256, sha.sha256);

    PreparedFile badSha = prepare(MiB);
    badSha.file.checksum = badSha.md5;  // an MD5 where no kind means SHA-256
    EXPECT_EQ(failure(badSha), "File verification failed. Trellisant will download this file again.");
  }
}

}  // namespace
}  // namespace trellisant

#include "download/range_transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <mutex>
#include <thread>

#include "sandbox_world.h"
#include "unique_fd.h"

namespace trellisant::testing {
namespace {

namespace fs = std::filesystem;
using Fault = sandbox::ProviderServer::Fault;
using Kind = Fault::Kind;
constexpr std::int64_t MiB = 1024 * 1024;
const std::string kWrongRange = "The provider did not return the requested file range. Saved footage was preserved.";

// Runs `action` on a thread of its own on which the kernel fails every pwrite to `fd` with
// `error` (a seccomp filter, which ends with the thread). Compares the descriptor's low word,
// which is where it sits on a little-endian machine.
void withFailingWrites(int fd, int error, const std::function<void()>& action) {
  std::jthread([&] {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_pwrite64, 0, 3),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<unsigned>(fd), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)};
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    ASSERT_EQ(::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
    action();
  });
}

// A 20 MiB source served by the provider, and a fresh partial file to receive ranges of it.
class RangeTransferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = SandboxWorld::shared().makeSource("range-source.bin", 20 * MiB, 7);
    SandboxWorld::shared().addDelivery("d-range", "f-range", source_);
  }
  void SetUp() override {
    provider().clearFaults();
    provider().clearRequests();
  }
  sandbox::ProviderServer& provider() { return SandboxWorld::shared().provider(); }
  // Fetches [start, end] of the source into the partial file, collecting checkpoints.
  std::int64_t fetch(std::int64_t start, std::int64_t end, double bandwidth = 0, std::stop_token stop = {},
                     http::Headers extra = {}) {
    RangeTransfer transfer(fd_.get(), start, end, 20 * MiB, bandwidth, false, [this](std::int64_t offset) {
      std::lock_guard lock(mutex_);
      checkpoints_.push_back(offset);
    });
    extra.insert(extra.begin(), {{"X-Sandbox-Signature", sandbox::capabilitySignature("d-range", "f-range")},
                                 {"Authorization", "Bearer provider-token"}});
    return transfer.run(provider().fileUrl("storage.googleapis.com", "d-range", "f-range"), extra, stop);
  }
  bool sameAsSource(std::int64_t offset, std::int64_t length) {
    return readRange(partial_, offset, length) == readRange(source_, offset, length);
  }

  static inline fs::path source_;
  TempDir temp_;
  fs::path partial_ = temp_ / "partial";
  UniqueFd fd_{::open(partial_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)};
  std::mutex mutex_;
  std::vector<std::int64_t> checkpoints_;
};

TEST_F(RangeTransferTest, WritesTheRangeAtItsOffsetsWithCheckpoints) {
  // Headers of the capability cannot bend the range or the encoding.
  EXPECT_EQ(fetch(3 * MiB, 20 * MiB - 1, 0, {}, {{"range", "bytes=0-"}, {"ACCEPT-ENCODING", "gzip"}}), 20 * MiB);
  EXPECT_EQ(checkpoints_, (std::vector<std::int64_t>{11 * MiB, 19 * MiB, 20 * MiB}));
  EXPECT_EQ(fileSize(partial_), 20 * MiB);
  EXPECT_TRUE(sameAsSource(3 * MiB, 17 * MiB));
  EXPECT_EQ(readRange(partial_, 0, 3 * MiB), std::string(3 * MiB, '\0'));  // nothing before the range
  auto requests = provider().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].range, "bytes=3145728-20971519");
  EXPECT_EQ(requests[0].header("Accept-Encoding"), "identity");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer provider-token");
}

TEST_F(RangeTransferTest, WrongAnswersAreRefusedBeforeAByteTooManyIsWritten) {
  const std::string kUnexpected = "The provider returned unexpected file data.";
  for (auto [fault, message] : std::vector<std::pair<Fault, std::string>>{
           {Fault::of(Kind::WholeFile), kWrongRange}, {Fault::of(Kind::WrongTotal), kWrongRange},
           {Fault::of(Kind::StarTotal), kWrongRange}, {Fault::of(Kind::Gzip), kWrongRange},
           {Fault::serverError(500), kWrongRange}, {Fault::of(Kind::ExtraByte), kUnexpected}}) {
    ASSERT_EQ(::ftruncate(fd_.get(), 0), 0);
    provider().inject(fault, "f-range", 1);
    EXPECT_EQ(failureOf([&] { fetch(MiB, 2 * MiB - 1); }), message) << static_cast<int>(fault.kind);
    EXPECT_TRUE(message != kWrongRange || fileSize(partial_) == 0);
    EXPECT_LE(fileSize(partial_), 2 * MiB);
    EXPECT_TRUE(sameAsSource(MiB, std::max<std::int64_t>(0, fileSize(partial_) - MiB)));
  }
}

TEST_F(RangeTransferTest, RedirectsKeepTheRangeAndAuthorizationStaysWithItsHost) {
  // Within the host, then to another provider host, then relative to the answering address.
  for (auto [location, host] : std::vector<std::pair<std::string, std::string>>{
           {provider().fileUrl("storage.googleapis.com", "d-range", "f-range") + "?hop=1", "storage.googleapis.com"},
           {provider().fileUrl("sandbox.googleusercontent.com", "d-range", "f-range"), "sandbox.googleusercontent.com"},
           {"/files/d-range/f-range?hop=2", "storage.googleapis.com"}}) {
    provider().clearRequests();
    provider().inject(Fault::redirect(location, 307), "f-range", 1);
    EXPECT_EQ(fetch(MiB, 2 * MiB - 1), 2 * MiB);
    auto requests = provider().requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].header("Host")->rfind(host, 0), 0u);
    EXPECT_EQ(requests[1].header("Authorization").has_value(), host == "storage.googleapis.com") << location;
    EXPECT_EQ(requests[1].header("X-Sandbox-Signature"), sandbox::capabilitySignature("d-range", "f-range"));
    EXPECT_EQ(requests[1].range, "bytes=1048576-2097151");
    EXPECT_EQ(requests[1].header("Accept-Encoding"), "identity");
  }
  EXPECT_TRUE(sameAsSource(MiB, MiB));
}

TEST_F(RangeTransferTest, CancellationEndsASlowOrThrottledRangeAtOnce) {
  // 64 KiB/s from the provider, or a limit of 100 kB/s: the range would need 10 s or more.
  for (double bandwidth : {0.0, 100'000.0}) {
    if (bandwidth == 0) provider().inject(Fault::trickle(64 * 1024), "f-range", 1);
    ASSERT_EQ(::ftruncate(fd_.get(), 0), 0);
    std::stop_source stop;
    std::string outcome;
    std::jthread runner([&] { outcome = failureOf([&] { fetch(0, MiB - 1, bandwidth, stop.get_token()); }); });
    ASSERT_TRUE(waitUntil([&] { return fileSize(partial_) > 0; }));
    auto asked = std::chrono::steady_clock::now();
    stop.request_stop();
    runner.join();
    EXPECT_EQ(outcome, "<cancelled>") << bandwidth;
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(4)) << bandwidth;
    EXPECT_TRUE(bandwidth > 0 || fileSize(partial_) < MiB);  // the throttle may hold what it has
  }
}

TEST_F(RangeTransferTest, WriteFailuresNameTheDisk) {
  // A user's quota used up is a full disk to them.
  for (auto [error, message] : std::vector<std::pair<int, std::string>>{
           {EDQUOT, "Your download disk is full. Free up space to resume."},
           {ENOSPC, "Your download disk is full. Free up space to resume."},
           {EIO, "Your download disk is unavailable. Reconnect it to resume."}}) {
    withFailingWrites(fd_.get(), error, [&] { EXPECT_EQ(failureOf([&] { fetch(0, MiB - 1); }), message); });
  }
}

}  // namespace
}  // namespace trellisant::testing

#include "download/range_transfer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>

#include "unique_fd.h"
#include "sandbox_world.h"

namespace trellisant {
namespace {

namespace fs = std::filesystem;
using sandbox::ProviderServer;
using testing::failureOf;
using testing::fileSize;
using testing::readRange;
using Fault = ProviderServer::Fault;
using Kind = ProviderServer::Fault::Kind;

constexpr std::int64_t MiB = 1024 * 1024;
const std::string kWrongRange =
    "The provider did not return the requested file range. Saved footage was preserved.";
const std::string kRedirect = "A download redirected to an unsupported address.";

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

// One source file served by the provider, and a fresh partial file to receive a range of it.
class RangeTransferTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    auto& world = testing::SandboxWorld::shared();
    source_ = world.makeSource("range-source.bin", 20 * MiB, 7);
    world.addDelivery("d-range", "f-range", source_);
  }

  void SetUp() override {
    world().provider().clearFaults();
    world().provider().clearRequests();
    partial_ = temp_ / "partial";
    fd_ = UniqueFd(::open(partial_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd_);
  }

  testing::SandboxWorld& world() { return testing::SandboxWorld::shared(); }
  std::string url(const std::string& host = "storage.googleapis.com") {
    return world().provider().fileUrl(host, "d-range", "f-range");
  }
  http::Headers headers() {
    return {{"X-Sandbox-Signature", sandbox::capabilitySignature("d-range", "f-range")},
            {"Authorization", "Bearer provider-token"}};
  }
  // Runs the range [start, end] of the 20 MiB source, collecting checkpoints.
  std::int64_t fetch(std::int64_t start, std::int64_t end, double bandwidth = 0,
                     std::stop_token stop = {}, const std::string& address = "") {
    RangeTransfer transfer(fd_.get(), start, end, 20 * MiB, bandwidth, false,
                           [this](std::int64_t offset) {
                             std::lock_guard lock(mutex_);
                             checkpoints_.push_back(offset);
                           });
    return transfer.run(address.empty() ? url() : address, headers(), stop);
  }
  std::vector<std::int64_t> checkpoints() {
    std::lock_guard lock(mutex_);
    return checkpoints_;
  }

  static inline fs::path source_;
  testing::TempDir temp_;
  fs::path partial_;
  UniqueFd fd_;
  std::mutex mutex_;
  std::vector<std::int64_t> checkpoints_;
};

TEST_F(RangeTransferTest, WritesTheRangeAtItsOffsetsWithCheckpointsEvery8MiB) {
  const std::int64_t start = 3 * MiB, end = 20 * MiB - 1;
  EXPECT_EQ(fetch(start, end), 20 * MiB);
  EXPECT_EQ(checkpoints(), (std::vector<std::int64_t>{11 * MiB, 19 * MiB, 20 * MiB}));
  EXPECT_EQ(fileSize(partial_), 20 * MiB);
  EXPECT_EQ(readRange(partial_, start, end - start + 1),
            readRange(source_, start, end - start + 1));
  EXPECT_EQ(readRange(partial_, 0, start), std::string(start, '\0'));  // nothing before the range

  auto requests = world().provider().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].range, "bytes=3145728-20971519");
  EXPECT_EQ(requests[0].header("Accept-Encoding"), "identity");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer provider-token");
}

TEST_F(RangeTransferTest, CapabilityHeadersCannotBendTheRange) {
  RangeTransfer transfer(fd_.get(), 0, MiB - 1, 20 * MiB, 0, false, [](std::int64_t) {});
  http::Headers sent = headers();
  sent.emplace_back("range", "bytes=0-");
  sent.emplace_back("ACCEPT-ENCODING", "gzip");
  EXPECT_EQ(transfer.run(url(), sent), MiB);
  auto requests = world().provider().requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].range, "bytes=0-1048575");
  EXPECT_EQ(requests[0].header("Accept-Encoding"), "identity");
}

TEST_F(RangeTransferTest, ExactlyEightMiBCheckpointsTwiceAtTheEnd) {
  EXPECT_EQ(fetch(MiB, 9 * MiB - 1), 9 * MiB);
  EXPECT_EQ(checkpoints(), (std::vector<std::int64_t>{9 * MiB, 9 * MiB}));
}

TEST_F(RangeTransferTest, WrongAnswersAreRefusedBeforeAnyByteIsWritten) {
  for (Fault fault :
       {Fault::of(Kind::WholeFile), Fault::of(Kind::WrongTotal), Fault::of(Kind::StarTotal),
        Fault::of(Kind::Gzip), Fault::serverError(), Fault::serverError(500)}) {
    world().provider().inject(fault, "f-range", 1);
    EXPECT_EQ(failureOf([&] { fetch(MiB, 2 * MiB - 1); }), kWrongRange)
        << static_cast<int>(fault.kind);
    EXPECT_EQ(fileSize(partial_), 0);
    EXPECT_TRUE(checkpoints().empty());
  }
  // A fault for another file leaves this one alone.
  world().provider().inject(Fault::of(Kind::WholeFile), "other-file");
  EXPECT_EQ(fetch(0, MiB - 1), MiB);
}

TEST_F(RangeTransferTest, OneByteTooManyIsNeverWritten) {
  world().provider().inject(Fault::of(Kind::ExtraByte), "f-range", 1);
  EXPECT_EQ(failureOf([&] { fetch(MiB, 2 * MiB - 1); }),
            "The provider returned unexpected file data.");
  EXPECT_LE(fileSize(partial_), 2 * MiB);
  auto written = fileSize(partial_) - MiB;
  EXPECT_EQ(readRange(partial_, MiB, written), readRange(source_, MiB, written));
}

TEST_F(RangeTransferTest, ClosedConnectionLeavesTheLastCheckpoint) {
  world().provider().inject(Fault::closeAfter(18 * MiB), "f-range", 1);
  EXPECT_EQ(failureOf([&] { fetch(MiB, 20 * MiB - 1); }),
            "The download ended early. Trellisant will resume it.");
  EXPECT_EQ(checkpoints(), (std::vector<std::int64_t>{9 * MiB, 17 * MiB}));
  // The bytes already written stay; only what a checkpoint covers is promised.
  EXPECT_EQ(readRange(partial_, MiB, 16 * MiB), readRange(source_, MiB, 16 * MiB));
}

TEST_F(RangeTransferTest, RedirectsAreCheckedAndAuthorizationStaysWithItsHost) {
  auto& provider = world().provider();
  provider.inject(Fault::redirect(url() + "?hop=1"), "f-range", 1);
  EXPECT_EQ(fetch(0, MiB - 1), MiB);
  auto requests = provider.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].header("Authorization"), "Bearer provider-token");

  provider.clearRequests();
  provider.inject(Fault::redirect(url("sandbox.googleusercontent.com"), 307), "f-range", 1);
  EXPECT_EQ(fetch(MiB, 2 * MiB - 1), 2 * MiB);
  requests = provider.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].header("Host")->rfind("sandbox.googleusercontent.com", 0), 0u);
  EXPECT_FALSE(requests[1].header("Authorization"));
  EXPECT_EQ(requests[1].header("X-Sandbox-Signature"),
            sandbox::capabilitySignature("d-range", "f-range"));
  EXPECT_EQ(requests[1].range, "bytes=1048576-2097151");
  EXPECT_EQ(requests[1].header("Accept-Encoding"), "identity");

  // A relative Location resolves against the answering address.
  provider.clearRequests();
  provider.inject(Fault::redirect("/files/d-range/f-range?hop=2", 301), "f-range", 1);
  EXPECT_EQ(fetch(2 * MiB, 3 * MiB - 1), 3 * MiB);
  EXPECT_EQ(provider.requests().size(), 2u);
  EXPECT_EQ(readRange(partial_, 0, 3 * MiB), readRange(source_, 0, 3 * MiB));
}

TEST_F(RangeTransferTest, RedirectsAwayFromTheProvidersAreRefused) {
  auto& provider = world().provider();
  for (std::string location :
       {url("evil.example.com"), std::string("http://storage.googleapis.com/x"),
        std::string("https://user@storage.googleapis.com/x")}) {
    provider.clearRequests();
    provider.inject(Fault::redirect(location), "f-range", 1);
    EXPECT_EQ(failureOf([&] { fetch(0, MiB - 1); }), kRedirect) << location;
    EXPECT_EQ(provider.requests().size(), 1u);
    EXPECT_EQ(fileSize(partial_), 0);
  }
  // An endless chain ends too.
  provider.clearRequests();
  provider.inject(Fault::redirect(url()), "f-range");
  EXPECT_EQ(failureOf([&] { fetch(0, MiB - 1); }), kRedirect);
  EXPECT_EQ(provider.requests().size(), 11u);
  EXPECT_EQ(fileSize(partial_), 0);
}

TEST_F(RangeTransferTest, UnsupportedFirstAddressSendsNothing) {
  for (std::string address : {std::string("http://storage.googleapis.com/files/d-range/f-range"),
                              url("evil.example.com"), std::string("https://frame.io/x")}) {
    EXPECT_EQ(failureOf([&] { fetch(0, MiB - 1, 0, {}, address); }),
              "The storage provider returned an unsupported download address.");
  }
  EXPECT_TRUE(world().provider().requests().empty());
}

TEST_F(RangeTransferTest, ProviderSignatureIsRequired) {
  RangeTransfer transfer(fd_.get(), 0, MiB - 1, 20 * MiB, 0, false, [](std::int64_t) {});
  EXPECT_EQ(failureOf([&] {
              transfer.run(url(), {{"X-Sandbox-Signature", "wrong"}});
            }),
            kWrongRange);
  EXPECT_EQ(fileSize(partial_), 0);
}

TEST_F(RangeTransferTest, CancelledBeforeTheStartSendsNothing) {
  std::stop_source stop;
  stop.request_stop();
  EXPECT_EQ(failureOf([&] { fetch(0, MiB - 1, 0, stop.get_token()); }), "<cancelled>");
  EXPECT_TRUE(world().provider().requests().empty());
}

// Runs `fetch` on another thread and stops it after a moment; returns how long the run took.
template <typename Fetch>
std::chrono::duration<double> stopMidway(Fetch fetch, std::string& outcome) {
  std::stop_source stop;
  auto began = std::chrono::steady_clock::now();
  std::jthread runner([&] { outcome = failureOf([&] { fetch(stop.get_token()); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  stop.request_stop();
  runner.join();
  return std::chrono::steady_clock::now() - began;
}

TEST_F(RangeTransferTest, CancellationEndsASlowRangeAtOnce) {
  // 64 KiB per second: the range would need 16 seconds.
  world().provider().inject(Fault::trickle(64 * 1024), "f-range", 1);
  std::string outcome;
  auto took = stopMidway([&](std::stop_token stop) { fetch(0, MiB - 1, 0, stop); }, outcome);
  EXPECT_EQ(outcome, "<cancelled>");
  EXPECT_LT(took.count(), 8.0);
  EXPECT_LT(fileSize(partial_), MiB);
}

TEST_F(RangeTransferTest, CancellationEndsAThrottledRangeAtOnce) {
  // 100 kB per second: the range would need 10 seconds.
  std::string outcome;
  auto took = stopMidway([&](std::stop_token stop) { fetch(0, MiB - 1, 100000, stop); }, outcome);
  EXPECT_EQ(outcome, "<cancelled>");
  EXPECT_LT(took.count(), 5.0);
}

TEST_F(RangeTransferTest, ThrottleHoldsTheAverageRate) {
  auto began = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch(0, 2 * MiB - 1, 4.0 * MiB), 2 * MiB);
  // Half a second is the least the limit allows (less the 0.05 s slack).
  EXPECT_GE(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 0.44);
}

TEST_F(RangeTransferTest, WriteFailuresNameTheDisk) {
  UniqueFd full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full);
  RangeTransfer onFull(full.get(), 0, MiB - 1, 20 * MiB, 0, false, [](std::int64_t) {});
  EXPECT_EQ(failureOf([&] { onFull.run(url(), headers()); }),
            "Your download disk is full. Free up space to resume.");
  // A user's quota used up is a full disk to them.
  RangeTransfer overQuota(fd_.get(), 0, MiB - 1, 20 * MiB, 0, false, [](std::int64_t) {});
  withFailingWrites(fd_.get(), EDQUOT, [&] {
    EXPECT_EQ(failureOf([&] { overQuota.run(url(), headers()); }),
              "Your download disk is full. Free up space to resume.");
  });

  UniqueFd readOnly(::open(source_.c_str(), O_RDONLY | O_CLOEXEC));
  RangeTransfer onReadOnly(readOnly.get(), 0, MiB - 1, 20 * MiB, 0, false, [](std::int64_t) {});
  EXPECT_EQ(failureOf([&] { onReadOnly.run(url(), headers()); }),
            "Your download disk is unavailable. Reconnect it to resume.");
}

TEST_F(RangeTransferTest, CheckpointFailurePassesOnItsOwnError) {
  RangeTransfer transfer(fd_.get(), 0, 10 * MiB - 1, 20 * MiB, 0, false, [](std::int64_t) {
    throw TrellisantError("Could not checkpoint the download.");
  });
  EXPECT_EQ(failureOf([&] { transfer.run(url(), headers()); }),
            "Could not checkpoint the download.");
  EXPECT_LE(fileSize(partial_), 10 * MiB);
}

}  // namespace
}  // namespace trellisant

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "api/http.h"
#include "error.h"

namespace trellisant {

// Whether a provider's answer is exactly the range start-end of a file of `total` bytes:
// status 206, Content-Range "bytes start-end/total" character for character, and no content
// encoding other than "identity".
bool acceptsRange(const http::Response& head, std::int64_t start, std::int64_t end,
                  std::int64_t total);

// The file is synced and checkpointed after every this many bytes of a range, and at its end.
inline constexpr std::int64_t kCheckpointBytes = 8 * 1024 * 1024;

// How the bytes reach the disk. The defaults are what bench/receive measured fastest; the
// benchmark switches each off to show what it is worth.
struct TransferTuning {
  // Sync and checkpoint each 8 MiB on a thread of their own while the next bytes arrive, at
  // most one sync in flight; false does both on the receiving thread before it goes on.
  bool syncBehind = true;
  // Start write-back of every this many new bytes at once (sync_file_range), so that each
  // 8 MiB fsync finds little left to do; 0 leaves write-back to the kernel.
  std::int64_t writeBehindBytes = 1024 * 1024;
  // Received pieces (a TLS record each, 16 KiB) are gathered into writes of this many bytes:
  // much of the page cache's cost is per write, not per byte. 0 writes each piece as it comes.
  std::int64_t gatherBytes = 256 * 1024;
  // libcurl's receive buffer; 0 is libcurl's default.
  long receiveBufferBytes = 512 * 1024;
  // HTTP/2 to the provider where offered. A range has its connection to itself, so streams
  // gain nothing, and nginx's HTTP/2 (framing, no sendfile) delivered ranges more slowly.
  bool http2 = false;
};

// Syncs a file and then checkpoints what the sync covered, on a thread of its own, while the
// receiving thread writes on. One chunk at a time: the journal lags the file by at most the
// chunk being synced and never counts a byte before its sync has returned. One object may serve
// the successive ranges of a file, so that a range's last chunk is synced while the next range
// is asked for.
class SyncBehind {
 public:
  // `checkpoint` must outlive the object.
  SyncBehind(int fd, const std::function<void(std::int64_t)>& checkpoint);
  ~SyncBehind();  // a chunk handed over is still synced and checkpointed: its bytes are written

  // Hands over the bytes before `offset` once the previous chunk is synced and checkpointed;
  // false when `stop` came first or a sync failed.
  bool hand(std::int64_t offset, const std::stop_token& stop);
  // Waits until the chunk in flight is checkpointed; rethrows its failure. Throws Cancelled.
  void finish(const std::stop_token& stop);
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  std::exception_ptr failure();

 private:
  bool idle(std::unique_lock<std::mutex>& lock, const std::stop_token& stop);
  void loop(std::stop_token stop);

  int fd_;
  const std::function<void(std::int64_t)>& checkpoint_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::optional<std::int64_t> pending_;
  bool busy_ = false;
  std::exception_ptr failure_;
  std::atomic<bool> failed_{false};
  std::jthread thread_;  // last: stopped and joined before the rest goes
};

// Fetches one byte range of one file from a storage provider with a single GET (plus checked
// redirects) and writes it with pwrite at its final offsets into an open file. Anything but
// exactly the requested range is refused before a byte is written. One object serves one run.
class RangeTransfer {
 public:
  using Tuning = TransferTuning;

  // `checkpoint` records that the file is durable up to an absolute offset; it is called after
  // an fsync every 8 MiB (on a thread of its own with Tuning::syncBehind) and at the end, never
  // with a byte the fsync before it did not cover. `bandwidthBytes` <= 0 means no limit. With
  // `shared`, that object syncs and checkpoints (its own checkpoint is used) and run() returns
  // with the range's last chunk handed to it, not yet checkpointed: the caller finishes it.
  RangeTransfer(int fd, std::int64_t start, std::int64_t end, std::int64_t total,
                double bandwidthBytes, std::function<void(std::int64_t)> checkpoint,
                Tuning tuning = Tuning(), SyncBehind* shared = nullptr);
  ~RangeTransfer();

  // Returns the offset just past the last byte written (end + 1). Throws TrellisantError,
  // PlatformError for transport failures, Cancelled when `stop` is requested first.
  std::int64_t run(const std::string& url, const http::Headers& headers, std::stop_token stop = {});

 private:
  bool accept(const http::Response& head);
  bool receive(std::string_view bytes, const std::stop_token& stop);
  bool persist(const std::stop_token& stop);
  bool write(std::string_view bytes);
  bool gather(std::string_view bytes);
  bool flush();
  bool syncFailed();
  void writeBehind();
  void throttle(const std::stop_token& stop) const;
  // Where the bytes go to be synced and checkpointed; none when they are synced inline.
  SyncBehind* syncer() const { return shared_ ? shared_ : own_.get(); }
  void fail(const char* message) { failure_ = std::make_exception_ptr(TrellisantError(message)); }
  std::int64_t length() const { return end_ - start_ + 1; }

  int fd_;
  std::int64_t start_;
  std::int64_t end_;
  std::int64_t total_;
  double bandwidth_;
  std::function<void(std::int64_t)> checkpoint_;
  Tuning tuning_;
  std::int64_t written_ = 0;  // received, gathered or in the file
  std::int64_t flushed_ = 0;  // of it, in the file
  std::unique_ptr<char[]> gathered_;  // the bytes after flushed_, with Tuning::gatherBytes
  std::int64_t persisted_ = 0;  // written_ at the last checkpoint, or handed to the syncer
  SyncBehind* shared_;
  std::unique_ptr<SyncBehind> own_;  // while run() runs, with Tuning::syncBehind and nothing shared
  // Value of flushed_ up to which write-back has been started.
  std::int64_t writtenBack_ = 0;
  // The reason to stop, kept as thrown so that a checkpoint's own error passes on unchanged.
  std::exception_ptr failure_;
  std::chrono::steady_clock::time_point began_;
};

}  // namespace trellisant

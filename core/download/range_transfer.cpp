#include "download/range_transfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "url.h"
#include "clock.h"
#include "download/download_messages.h"
#include "download/file_safety.h"

namespace trellisant {
namespace {

constexpr const char* kUnsupportedAddress =
    "The storage provider returned an unsupported download address.";
constexpr const char* kUnsupportedRedirect = "A download redirected to an unsupported address.";
constexpr const char* kWrongRange =
    "The provider did not return the requested file range. Saved footage was preserved.";
constexpr const char* kEndedEarly = "The download ended early. Trellisant will resume it.";
constexpr const char* kNotSaved = "Could not save footage to your disk.";
constexpr std::chrono::seconds kIdleTimeout{45};
constexpr std::chrono::seconds kResourceTimeout{43200};

// The provider closed the connection before the body it announced was complete. Other
// transport failures, time-outs among them, pass on unchanged.
bool closedEarly(const PlatformError& error) {
  auto* transport = dynamic_cast<const http::TransportError*>(&error);
  return transport != nullptr && transport->code() == CURLE_PARTIAL_FILE;
}

std::optional<std::string> hostOf(const std::string& url) {
  auto parsed = Url::parse(url);
  return parsed ? parsed->host : std::nullopt;
}

void setRangeHeaders(http::Headers& headers, std::int64_t start, std::int64_t end) {
  http::setHeader(headers, "Range", "bytes=" + std::to_string(start) + "-" + std::to_string(end));
  http::setHeader(headers, "Accept-Encoding", "identity");
}

}  // namespace

SyncBehind::SyncBehind(int fd, const std::function<void(std::int64_t)>& checkpoint)
    : fd_(fd), checkpoint_(checkpoint), thread_([this](std::stop_token stop) { loop(stop); }) {}

SyncBehind::~SyncBehind() = default;

bool SyncBehind::hand(std::int64_t offset, const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  if (!idle(lock, stop) || failure_) return false;
  pending_ = offset;
  changed_.notify_all();
  return true;
}

void SyncBehind::finish(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  if (!idle(lock, stop)) throw Cancelled();
  if (failure_) std::rethrow_exception(failure_);
}

std::exception_ptr SyncBehind::failure() {
  std::lock_guard lock(mutex_);
  return failure_;
}

bool SyncBehind::idle(std::unique_lock<std::mutex>& lock, const std::stop_token& stop) {
  return changed_.wait(lock, stop, [&] { return (!pending_ && !busy_) || failure_; });
}

// A chunk handed over before a stop is still synced and checkpointed: its bytes are written.
void SyncBehind::loop(std::stop_token stop) {
  std::unique_lock lock(mutex_);
  while (changed_.wait(lock, stop, [&] { return pending_.has_value(); })) {
    const std::int64_t offset = *std::exchange(pending_, std::nullopt);
    busy_ = true;
    lock.unlock();
    std::exception_ptr failure;
    if (::fsync(fd_) != 0) {
      failure = std::make_exception_ptr(TrellisantError(kNotSaved));
    } else {
      try {
        checkpoint_(offset);
      } catch (...) {
        failure = std::current_exception();
      }
    }
    lock.lock();
    busy_ = false;
    failure_ = failure;
    failed_ = failure != nullptr;
    changed_.notify_all();
    if (failure) return;
  }
}

RangeTransfer::RangeTransfer(int fd, std::int64_t start, std::int64_t end, std::int64_t total,
                             double bandwidthBytes, std::function<void(std::int64_t)> checkpoint,
                             Tuning tuning, SyncBehind* shared)
    : fd_(fd),
      start_(start),
      end_(end),
      total_(total),
      bandwidth_(bandwidthBytes),
      checkpoint_(std::move(checkpoint)),
      tuning_(tuning),
      shared_(shared),
      began_(std::chrono::steady_clock::now()) {}

RangeTransfer::~RangeTransfer() = default;

std::int64_t RangeTransfer::run(const std::string& url, const http::Headers& headers,
                                std::stop_token stop) {
  if (!FileSafety::allowedURL(url, false)) throw TrellisantError(kUnsupportedAddress);
  throwIfStopped(stop);

  http::Request request;
  request.url = url;
  request.headers = headers;
  setRangeHeaders(request.headers, start_, end_);
  request.idleTimeout = kIdleTimeout;
  request.receiveBufferBytes = tuning_.receiveBufferBytes;
  request.http2 = tuning_.http2;
  began_ = std::chrono::steady_clock::now();
  // An own syncer is stopped and joined on every way out of run(): no checkpoint comes after it.
  struct Joined {
    std::unique_ptr<SyncBehind>& own;
    ~Joined() { own.reset(); }
  } joined{own_};
  if (!shared_ && tuning_.syncBehind) own_ = std::make_unique<SyncBehind>(fd_, checkpoint_);

  for (int hop = 0;; ++hop) {
    std::optional<std::string> location;
    http::Stream callbacks;
    callbacks.onResponse = [&](const http::Response& head) {
      if (http::isRedirect(head.status)) {
        location = head.header("Location");
        if (location) return false;  // followed below, after its check
      }
      return accept(head);
    };
    callbacks.onData = [&](std::string_view bytes) { return receive(bytes, stop); };

    auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began_);
    request.totalTimeout = std::max(kResourceTimeout - elapsed, std::chrono::seconds(1));
    try {
      http::stream(request, callbacks, stop);
    } catch (const Cancelled&) {
      if (failure_ || syncFailed()) std::rethrow_exception(failure_);
      throw;
    } catch (const PlatformError& error) {
      if (failure_ || syncFailed()) std::rethrow_exception(failure_);
      if (closedEarly(error)) throw TrellisantError(kEndedEarly);
      throw;
    }
    if (failure_) std::rethrow_exception(failure_);
    if (!location) break;

    // A redirect: every hop must stay with the providers.
    auto next = resolveReference(request.url, *location);
    if (!next || !FileSafety::allowedURL(*next, false) || hop >= http::kMaximumRedirects) {
      fail(kUnsupportedRedirect);
      std::rethrow_exception(failure_);
    }
    if (hostOf(*next) != hostOf(request.url)) http::removeHeader(request.headers, "Authorization");
    setRangeHeaders(request.headers, start_, end_);
    request.url = *next;
  }

  if (written_ != length()) throw TrellisantError(kEndedEarly);
  if (!flush()) std::rethrow_exception(failure_);
  if (shared_) {
    // The next range is asked for while this last chunk is synced.
    if (persisted_ != written_ && !persist(stop)) {
      if (failure_) std::rethrow_exception(failure_);
      throw Cancelled();
    }
    return start_ + written_;
  }
  if (own_) own_->finish(stop);
  if (persisted_ != written_) {
    if (::fsync(fd_) != 0) throw TrellisantError("Could not save the downloaded bytes.");
    checkpoint_(start_ + written_);
    persisted_ = written_;
  }
  return start_ + written_;
}

bool acceptsRange(const http::Response& head, std::int64_t start, std::int64_t end,
                  std::int64_t total) {
  std::string expected =
      "bytes " + std::to_string(start) + "-" + std::to_string(end) + "/" + std::to_string(total);
  auto encoding = head.header("Content-Encoding");
  return head.status == 206 && head.header("Content-Range") == expected &&
         (!encoding || *encoding == "identity");
}

bool RangeTransfer::accept(const http::Response& head) {
  if (acceptsRange(head, start_, end_, total_)) return true;
  fail(kWrongRange);
  return false;
}

bool RangeTransfer::receive(std::string_view bytes, const std::stop_token& stop) {
  if (failure_ || syncFailed()) return false;
  auto size = static_cast<std::int64_t>(bytes.size());
  if (written_ + size > length()) {
    fail("The provider returned unexpected file data.");
    return false;
  }
  if (!gather(bytes)) return false;
  writeBehind();
  if (written_ - persisted_ >= kCheckpointBytes && (!flush() || !persist(stop))) return false;
  throttle(stop);
  return true;
}

// The file is synced up to written_ before the checkpoint counts it: here, or on the syncer's
// thread while the next bytes arrive.
bool RangeTransfer::persist(const std::stop_token& stop) {
  if (SyncBehind* syncer = this->syncer()) {
    if (!syncer->hand(start_ + written_, stop)) return syncFailed(), false;
  } else if (::fsync(fd_) != 0) {
    fail(kNotSaved);
    return false;
  } else {
    try {
      checkpoint_(start_ + written_);
    } catch (...) {
      failure_ = std::current_exception();
      return false;
    }
  }
  persisted_ = written_;
  return true;
}

// A sync on the syncer's thread failed: the transfer fails with its error at the next piece.
bool RangeTransfer::syncFailed() {
  SyncBehind* syncer = this->syncer();
  if (!syncer || !syncer->failed()) return false;
  if (!failure_) failure_ = syncer->failure();
  return true;
}

// Starts write-back of the newest bytes now rather than at the next fsync, so that the disk
// works while the network does and each fsync finds little left to do. Only a hint: where the
// file cannot take it, the fsync still does all the work.
void RangeTransfer::writeBehind() {
  if (tuning_.writeBehindBytes <= 0 || flushed_ - writtenBack_ < tuning_.writeBehindBytes) return;
  ::sync_file_range(fd_, start_ + writtenBack_, flushed_ - writtenBack_, SYNC_FILE_RANGE_WRITE);
  writtenBack_ = flushed_;
}

// Adds a piece to written_: kept with the pieces before it until they fill a write; a piece of
// a whole write's size or more goes to the file as it is.
bool RangeTransfer::gather(std::string_view bytes) {
  const std::int64_t capacity = tuning_.gatherBytes;
  const auto size = static_cast<std::int64_t>(bytes.size());
  if (written_ - flushed_ + size > capacity && !flush()) return false;
  if (size >= capacity) {
    if (!write(bytes)) return false;
    flushed_ += size;
    written_ = flushed_;
    return true;
  }
  if (!gathered_)
    gathered_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(capacity));
  std::copy(bytes.begin(), bytes.end(), gathered_.get() + (written_ - flushed_));
  written_ += size;
  return written_ - flushed_ < capacity || flush();
}

// Writes the gathered bytes to the file.
bool RangeTransfer::flush() {
  if (flushed_ == written_) return true;
  if (!write({gathered_.get(), static_cast<std::size_t>(written_ - flushed_)})) return false;
  flushed_ = written_;
  return true;
}

// Writes bytes at flushed_'s place in the file; a short write continues with the rest.
bool RangeTransfer::write(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t count =
        ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                 static_cast<off_t>(start_ + flushed_ + static_cast<std::int64_t>(done)));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      // A used-up quota is a full disk to the user.
      fail(count < 0 && (errno == ENOSPC || errno == EDQUOT) ? DownloadMessages::diskFull
                                                             : DownloadMessages::diskUnavailable);
      return false;
    }
    done += static_cast<std::size_t>(count);
  }
  return true;
}

// Holds the average rate since the start at the limit, in slices a stop request ends at once.
void RangeTransfer::throttle(const std::stop_token& stop) const {
  if (bandwidth_ <= 0) return;
  const Seconds budget(static_cast<double>(written_) / bandwidth_);
  while (true) {
    Seconds remaining = budget - (std::chrono::steady_clock::now() - began_);
    if (remaining.count() <= 0.05) return;
    if (!sleepFor(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::min(remaining, Seconds(0.1))),
                  stop))
      return;
  }
}

}  // namespace trellisant

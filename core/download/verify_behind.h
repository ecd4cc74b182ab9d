#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "digest.h"

namespace trellisant {

// Hashes a partial file on a thread of its own while the rest of it is still arriving, never
// past what a checkpoint has counted: those bytes are synced and, within one download, never
// written again (a failed range ends the download; the next one starts a new read), so the
// digests are those a read after the last byte would give.
class VerifyBehind {
 public:
  // `durable`: the file is synced and final up to there already.
  VerifyBehind(int fd, const std::vector<Digest::Kind>& kinds, BlockTap tap, std::int64_t durable);

  // The file is synced and final up to `offset`.
  void advance(std::int64_t offset);
  // The whole file, `size` bytes, is synced and final: waits until the reader has read it, then
  // returns the digests in the order of the
  // kinds. Throws the read's PlatformError, Cancelled at a stop.
  std::vector<std::string> finish(std::int64_t size, const std::stop_token& stop);

 private:
  void loop(const std::stop_token& stop);

  DigestingReader reader_;
  std::mutex mutex_;
  std::condition_variable_any changed_;
  std::int64_t durable_;
  std::int64_t read_ = 0;
  std::exception_ptr failure_;
  std::jthread thread_;  // last: stopped and joined before the rest goes
};

}  // namespace trellisant

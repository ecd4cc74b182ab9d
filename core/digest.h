#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

struct evp_md_ctx_st;

namespace trellisant {

// One incremental digest computation (OpenSSL). Throws PlatformError when OpenSSL fails.
class Digest {
 public:
  enum class Kind { sha256, md5, sha1, sha512 };
  explicit Digest(Kind kind);
  ~Digest();
  Digest(Digest&&) noexcept;
  Digest& operator=(Digest&&) noexcept;

  void update(std::string_view bytes);
  void update(const void* bytes, std::size_t count);
  // The raw digest bytes; the object is spent afterwards.
  std::string finish();
  // Lower-case hexadecimal.
  std::string finishHex();

 private:
  evp_md_ctx_st* context_;
};

std::string sha256Hex(std::string_view bytes);

// Who else sees each block that a file's digests are computed from (a receipt's hashes).
using BlockTap = std::function<void(const void* bytes, std::size_t count)>;

// Reads a file from offset 0 onwards, in as many steps as its writer needs, into its digests
// (and its tap), so that a file still being written can be hashed behind its writer.
class DigestingReader {
 public:
  DigestingReader(int fd, const std::vector<Digest::Kind>& kinds, BlockTap tap = {});

  // Reads on up to `end` (the file's end when nothing). Throws PlatformError when the file
  // cannot be read or ends before `end`, Cancelled at a stop.
  void readTo(std::optional<std::int64_t> end, std::stop_token stop = {});
  // The digests of what was read, in the order of the kinds, lower-case hex; spent afterwards.
  std::vector<std::string> finishHex();

 private:
  int fd_;
  std::vector<Digest> digests_;
  BlockTap tap_;
  std::vector<unsigned char> block_;
  std::int64_t offset_ = 0;
};

// The digests of everything `fd` holds, read from offset 0 (the file offset stays as it is), in
// the order of `kinds`, lower-case hex. Throws PlatformError when the file cannot be read,
// Cancelled at a stop.
std::vector<std::string> hexDigestsOf(int fd, const std::vector<Digest::Kind>& kinds,
                                      std::stop_token stop = {}, const BlockTap& tap = {});

// SHA-256 of a whole file in lower-case hex; nothing when it cannot be read or a stop arrives.
std::optional<std::string> sha256HexOfFile(const std::filesystem::path& path, std::stop_token stop = {});

}  // namespace trellisant

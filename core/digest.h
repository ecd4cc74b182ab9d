#pragma once

#include <cstddef>
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

// How a file is read for its digests: the block size, whether the kernel is told that the file is
// read once from start to end (read ahead, and drop the pages read), and who else sees each block.
struct DigestRead {
  std::size_t blockBytes = 1024 * 1024;
  bool advise = false;
  std::function<void(const void*, std::size_t)> also;
};

// The digests of everything `fd` holds, read from offset 0 (the file offset stays as it is), in
// the order of `kinds`, lower-case hex. Throws PlatformError when the file cannot be read,
// Cancelled at a stop.
std::vector<std::string> hexDigestsOf(int fd, const std::vector<Digest::Kind>& kinds,
                                      std::stop_token stop = {}, const DigestRead& read = {});

// SHA-256 of a whole file in lower-case hex; nothing when it cannot be read or a stop arrives.
std::optional<std::string> sha256HexOfFile(const std::filesystem::path& path, std::stop_token stop = {});

}  // namespace trellisant

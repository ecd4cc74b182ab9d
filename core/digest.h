#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

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

// SHA-256 of a whole file in lower-case hex; nothing when it cannot be read or a stop arrives.
std::optional<std::string> sha256HexOfFile(const std::filesystem::path& path, std::stop_token stop = {});

}  // namespace trellisant

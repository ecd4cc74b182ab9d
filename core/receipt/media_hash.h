#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace trellisant {

// The hash formats of a media hash list (ASC MHL), in the order a manifest lists them.
enum class HashFormat { c4, md5, sha1, xxh128, xxh3, xxh64 };
std::string_view toString(HashFormat format);
// Nothing for a name the format does not define.
std::optional<HashFormat> parseHashFormat(std::string_view name);

using HashValues = std::map<HashFormat, std::string>;

// Several media hash list digests fed by one read of a file. Values come out as the format
// writes them: lower-case hex, and C4 ids in their 90-character Base58 form.
class MediaHasher {
 public:
  explicit MediaHasher(std::set<HashFormat> formats);
  ~MediaHasher();
  MediaHasher(MediaHasher&&) noexcept;
  MediaHasher& operator=(MediaHasher&&) noexcept;

  void update(const void* bytes, std::size_t count);
  // The object is spent afterwards. Throws PlatformError when a digest fails.
  HashValues finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The C4 id of a SHA-512 digest (64 raw bytes).
std::string c4Id(std::string_view sha512);
HashValues hashBytes(std::string_view bytes, const std::set<HashFormat>& formats);

// Reads the open file from offset 0 to its end through one hasher; `progress` hears the bytes of
// each block. Nothing when a read fails.
std::optional<HashValues> hashFile(int fd, const std::set<HashFormat>& formats,
                                   const std::function<void(std::int64_t)>& progress = {});

}  // namespace trellisant

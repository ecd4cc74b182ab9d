#include "receipt/media_hash.h"

#include <xxhash.h>

#include <algorithm>
#include <array>
#include <vector>

#include "digest.h"
#include "encoding.h"
#include "error.h"

namespace trellisant {
namespace {

constexpr std::array<std::string_view, 6> kNames = {"c4", "md5", "sha1", "xxh128", "xxh3", "xxh64"};
constexpr std::string_view kBase58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
constexpr std::size_t kC4Digits = 88;  // after the "c4" prefix, padded with the zero digit '1'

// The canonical (big-endian) bytes of a digest as lower-case hex, as xxhsum prints them.
std::string hexOf(const void* canonical, std::size_t size) {
  return hex(static_cast<const unsigned char*>(canonical), size);
}

}  // namespace

std::string_view toString(HashFormat format) { return kNames[static_cast<std::size_t>(format)]; }

std::optional<HashFormat> parseHashFormat(std::string_view name) {
  auto found = std::find(kNames.begin(), kNames.end(), name);
  if (found == kNames.end()) return std::nullopt;
  return static_cast<HashFormat>(found - kNames.begin());
}

std::string c4Id(std::string_view sha512) {
  // Base58 of the 512-bit number, most significant digit first: repeated division of the
  // big-endian bytes by 58.
  std::vector<unsigned char> number(sha512.begin(), sha512.end());
  std::string digits;
  while (std::any_of(number.begin(), number.end(), [](unsigned char b) { return b != 0; })) {
    unsigned remainder = 0;
    for (unsigned char& byte : number) {
      unsigned value = remainder * 256 + byte;
      byte = static_cast<unsigned char>(value / 58);
      remainder = value % 58;
    }
    digits.push_back(kBase58[remainder]);
  }
  digits.resize(std::max(digits.size(), kC4Digits), kBase58[0]);
  std::reverse(digits.begin(), digits.end());
  return "c4" + digits;
}

struct MediaHasher::State {
  std::set<HashFormat> formats;
  std::map<HashFormat, Digest> digests;
  XXH64_state_t* xxh64 = nullptr;
  XXH3_state_t* xxh3 = nullptr;
  XXH3_state_t* xxh128 = nullptr;
  ~State() {
    XXH64_freeState(xxh64);
    XXH3_freeState(xxh3);
    XXH3_freeState(xxh128);
  }
};

MediaHasher::MediaHasher(std::set<HashFormat> formats) : state_(std::make_unique<State>()) {
  State& s = *state_;
  s.formats = std::move(formats);
  const std::map<HashFormat, Digest::Kind> openssl = {{HashFormat::c4, Digest::Kind::sha512},
                                                      {HashFormat::md5, Digest::Kind::md5},
                                                      {HashFormat::sha1, Digest::Kind::sha1}};
  for (auto [format, kind] : openssl)
    if (s.formats.count(format)) s.digests.emplace(format, Digest(kind));
  bool failed = false;
  if (s.formats.count(HashFormat::xxh64))
    failed |= !(s.xxh64 = XXH64_createState()) || XXH64_reset(s.xxh64, 0) != XXH_OK;
  if (s.formats.count(HashFormat::xxh3))
    failed |= !(s.xxh3 = XXH3_createState()) || XXH3_64bits_reset(s.xxh3) != XXH_OK;
  if (s.formats.count(HashFormat::xxh128))
    failed |= !(s.xxh128 = XXH3_createState()) || XXH3_128bits_reset(s.xxh128) != XXH_OK;
  if (failed) throw PlatformError("The system could not start a digest.");
}

MediaHasher::~MediaHasher() = default;
MediaHasher::MediaHasher(MediaHasher&&) noexcept = default;
MediaHasher& MediaHasher::operator=(MediaHasher&&) noexcept = default;

void MediaHasher::update(const void* bytes, std::size_t count) {
  State& s = *state_;
  for (auto& [format, digest] : s.digests) digest.update(bytes, count);
  if (s.xxh64) XXH64_update(s.xxh64, bytes, count);
  if (s.xxh3) XXH3_64bits_update(s.xxh3, bytes, count);
  if (s.xxh128) XXH3_128bits_update(s.xxh128, bytes, count);
}

HashValues MediaHasher::finish() {
  State& s = *state_;
  HashValues values;
  for (auto& [format, digest] : s.digests)
    values[format] = format == HashFormat::c4 ? c4Id(digest.finish()) : digest.finishHex();
  if (s.xxh64) {
    XXH64_canonical_t canonical;
    XXH64_canonicalFromHash(&canonical, XXH64_digest(s.xxh64));
    values[HashFormat::xxh64] = hexOf(&canonical, sizeof canonical);
  }
  if (s.xxh3) {
    XXH64_canonical_t canonical;
    XXH64_canonicalFromHash(&canonical, XXH3_64bits_digest(s.xxh3));
    values[HashFormat::xxh3] = hexOf(&canonical, sizeof canonical);
  }
  if (s.xxh128) {
    XXH128_canonical_t canonical;
    XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(s.xxh128));
    values[HashFormat::xxh128] = hexOf(&canonical, sizeof canonical);
  }
  return values;
}

HashValues hashBytes(std::string_view bytes, const std::set<HashFormat>& formats) {
  MediaHasher hasher(formats);
  hasher.update(bytes.data(), bytes.size());
  return hasher.finish();
}

std::optional<HashValues> hashFile(int fd, const std::set<HashFormat>& formats,
                                   const std::function<void(std::int64_t)>& progress) {
  MediaHasher hasher(formats);
  DigestingReader reader(fd, {}, [&](const void* bytes, std::size_t count) {
    hasher.update(bytes, count);
    if (progress) progress(static_cast<std::int64_t>(count));
  });
  try {
    reader.readTo(std::nullopt);
  } catch (const PlatformError&) {
    return std::nullopt;
  }
  return hasher.finish();
}

}  // namespace trellisant

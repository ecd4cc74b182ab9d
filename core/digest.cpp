#include "digest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "encoding.h"
#include "clock.h"
#include "error.h"
#include "unique_fd.h"

namespace trellisant {

namespace {

const EVP_MD* algorithm(Digest::Kind kind) {
  switch (kind) {
    case Digest::Kind::sha256: return EVP_sha256();
    case Digest::Kind::md5: return EVP_md5();
    case Digest::Kind::sha1: return EVP_sha1();
    case Digest::Kind::sha512: return EVP_sha512();
  }
  return nullptr;
}

}  // namespace

Digest::Digest(Kind kind) : context_(EVP_MD_CTX_new()) {
  if (context_ == nullptr || EVP_DigestInit_ex(context_, algorithm(kind), nullptr) != 1) {
    EVP_MD_CTX_free(context_);
    throw PlatformError("The system could not start a digest.");
  }
}

Digest::~Digest() { EVP_MD_CTX_free(context_); }

Digest::Digest(Digest&& other) noexcept : context_(std::exchange(other.context_, nullptr)) {}

Digest& Digest::operator=(Digest&& other) noexcept {
  if (this != &other) {
    EVP_MD_CTX_free(context_);
    context_ = std::exchange(other.context_, nullptr);
  }
  return *this;
}

void Digest::update(const void* bytes, std::size_t count) {
  if (EVP_DigestUpdate(context_, bytes, count) != 1)
    throw PlatformError("The system could not compute a digest.");
}

void Digest::update(std::string_view bytes) { update(bytes.data(), bytes.size()); }

std::string Digest::finish() {
  unsigned char value[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context_, value, &length) != 1)
    throw PlatformError("The system could not compute a digest.");
  return std::string(reinterpret_cast<const char*>(value), length);
}

std::string Digest::finishHex() {
  std::string raw = finish();
  return hex(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
}

std::string sha256Hex(std::string_view bytes) {
  Digest digest(Digest::Kind::sha256);
  digest.update(bytes);
  return digest.finishHex();
}

namespace {

// Larger blocks measured no faster, and the agent holds one per file it receives.
constexpr std::size_t kBlockBytes = 1024 * 1024;

}  // namespace

DigestingReader::DigestingReader(int fd, const std::vector<Digest::Kind>& kinds, BlockTap tap)
    : fd_(fd), digests_(kinds.begin(), kinds.end()), tap_(std::move(tap)), block_(kBlockBytes) {}

void DigestingReader::readTo(std::optional<std::int64_t> end, std::stop_token stop) {
  while (!end || offset_ < *end) {
    throwIfStopped(stop);
    std::size_t wanted = block_.size();
    if (end) wanted = static_cast<std::size_t>(std::min<std::int64_t>(*end - offset_, wanted));
    ssize_t count = ::pread(fd_, block_.data(), wanted, static_cast<off_t>(offset_));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw systemError(errno);
    if (count == 0) {
      if (end) throw PlatformError("The file ended before the bytes written to it.");
      return;
    }
    for (Digest& digest : digests_) digest.update(block_.data(), static_cast<std::size_t>(count));
    if (tap_) tap_(block_.data(), static_cast<std::size_t>(count));
    offset_ += count;
  }
}

std::vector<std::string> DigestingReader::finishHex() {
  std::vector<std::string> out;
  for (Digest& digest : digests_) out.push_back(digest.finishHex());
  return out;
}

std::vector<std::string> hexDigestsOf(int fd, const std::vector<Digest::Kind>& kinds,
                                      std::stop_token stop, const BlockTap& tap) {
  DigestingReader reader(fd, kinds, tap);
  reader.readTo(std::nullopt, stop);
  return reader.finishHex();
}

std::optional<std::string> sha256HexOfFile(const std::filesystem::path& path, std::stop_token stop) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  try {
    return hexDigestsOf(fd.get(), {Digest::Kind::sha256}, stop).front();
  } catch (const PlatformError&) {
    return std::nullopt;
  } catch (const Cancelled&) {
    return std::nullopt;
  }
}

}  // namespace trellisant

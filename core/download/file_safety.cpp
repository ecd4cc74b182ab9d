#include "download/file_safety.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdio.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>

#include "download/download_messages.h"
#include "unique_fd.h"
#include "error.h"
#include "text.h"

namespace trellisant::FileSafety {
namespace {

constexpr std::size_t kMaximumNameBytes = 240;
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

constexpr std::string_view kExactProvider = "storage.googleapis.com";
constexpr std::array<std::string_view, 4> kProviderSuffixes = {
    ".googleusercontent.com", ".amazonaws.com", ".frame.io", ".cloudfront.net"};

// The piece rules, applied to text already in NFC.
bool safePiece(std::string_view piece) {
  if (piece.empty() || piece == "." || piece == "..") return false;
  if (piece.size() > kMaximumNameBytes) return false;
  // In UTF-8 every scalar below U+0020 is a single byte below 0x20, and no byte of a
  // multi-byte sequence is, so a byte test is exact.
  return std::none_of(piece.begin(), piece.end(), [](char c) {
    return c == ':' || c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20;
  });
}

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A character that must not reach a folder name. A whole cluster is replaced when any of its
// scalars is one of these, so "/" followed by a combining mark cannot slip through.
bool forbiddenInLabel(std::string_view cluster) {
  return std::any_of(cluster.begin(), cluster.end(), [](char c) {
    return c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20;
  });
}

}  // namespace

std::vector<std::string> components(std::string_view relativePath) {
  std::string normalized = nfc(relativePath);
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    std::size_t slash = normalized.find('/', start);
    std::string piece =
        normalized.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!safePiece(piece)) throw TrellisantError(DownloadMessages::unsafeName);
    pieces.push_back(std::move(piece));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return pieces;
}

std::string component(std::string_view text) {
  std::vector<std::string> pieces = components(text);
  // A name holding a "/" would otherwise become two folders.
  if (pieces.size() != 1) throw TrellisantError(DownloadMessages::unsafeName);
  return std::move(pieces.front());
}

bool safeName(std::string_view name) {
  return safePiece(name) && nfc(name) == name;
}

std::string label(std::string_view text) {
  std::string result;
  std::size_t count = 0;
  for (const std::string& cluster : graphemes(text)) {
    if (count == 60) break;
    result += forbiddenInLabel(cluster) ? std::string("_") : cluster;
    ++count;
  }
  if (result.empty() || result == "." || result == "..") return "Untitled";
  return result;
}

bool allowedURL(const Url& url, bool allowLocal) {
  if (!url.host) return false;
  std::string host = asciiLowercase(*url.host);
  if (url.user || url.password) return false;
  if (allowLocal && (host == "localhost" || host == "127.0.0.1") && url.scheme == "http")
    return true;
  if (url.scheme != "https") return false;
  if (host == kExactProvider) return true;
  return std::any_of(kProviderSuffixes.begin(), kProviderSuffixes.end(),
                     [&](std::string_view suffix) { return endsWith(host, suffix); });
}

bool allowedURL(std::string_view url, bool allowLocal) {
  auto parsed = Url::parse(url);
  return parsed && allowedURL(*parsed, allowLocal);
}

int directory(const std::filesystem::path& root, const std::vector<std::string>& names) {
  std::vector<std::string> pieces;
  for (const std::string& name : names) pieces.push_back(component(name));

  UniqueFd current(::open(root.c_str(), kFolderFlags));
  if (!current) throw TrellisantError("Connect your download disk and check folder permissions.");
  for (const std::string& piece : pieces) {
    // It may already exist; the open decides. A new folder's name is synced in its parent, or
    // a power cut could take it away with every file synced into it.
    if (::mkdirat(current.get(), piece.c_str(), 0700) == 0) ::fsync(current.get());
    UniqueFd next(::openat(current.get(), piece.c_str(), kFolderFlags));
    if (!next)
      throw TrellisantError(DownloadMessages::folderUnavailable);
    current = std::move(next);
  }
  return current.release();
}

bool renameExclusively(int folder, const std::string& from, const std::string& to) {
  if (::renameat2(folder, from.c_str(), folder, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL) return false;
  // A file system without the flag: a hard link fails on an existing name just the same.
  if (::linkat(folder, from.c_str(), folder, to.c_str(), 0) != 0) return false;
  ::unlinkat(folder, from.c_str(), 0);  // the file is in place; a leftover name is harmless
  return true;
}

}  // namespace trellisant::FileSafety

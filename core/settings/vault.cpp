#include "settings/vault.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fileio.h"
#include "settings/keyring.h"
#include "settings/paths.h"

namespace trellisant {
namespace {

constexpr const char* kUnlock = "Unlock your login keyring to reconnect Trellisant.";
constexpr const char* kCannotUpdate = "Could not update your device credentials.";
constexpr const char* kCannotCreate = "Could not save your sign in securely in your login keyring.";


// A path that does not resolve at all is no item; anything else is an item we failed to reach.
bool isMissing(int error) { return error == ENOENT || error == ENOTDIR; }

bool filePresent() {
  struct stat info {};
  return ::lstat(Paths::credentialsFile().c_str(), &info) == 0;
}

}  // namespace

std::optional<std::string> FileCredentialStore::read() {
  auto path = Paths::credentialsFile();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (isMissing(errno)) return std::nullopt;
    throw TrellisantError(kUnlock);
  }
  std::string content;
  char buffer[16384];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      throw TrellisantError(kUnlock);
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

void FileCredentialStore::write(const std::string& data) {
  auto path = Paths::credentialsFile();
  struct stat info {};
  bool existed = ::lstat(path.c_str(), &info) == 0 || !isMissing(errno);
  try {
    writeAtomically(path, data, 0600);
  } catch (const PlatformError&) {
    throw TrellisantError(existed ? kCannotUpdate : kCannotCreate);
  }
}

void FileCredentialStore::remove() { ::unlink(Paths::credentialsFile().c_str()); }

std::string FileCredentialStore::location() { return filePresent() ? Paths::credentialsFile().string() : "none"; }

namespace {

// The later expiry is the later sign-in or token refresh; a record that does not decode loses.
bool newer(const std::string& data, const std::string& than) {
  auto expiry = [](const std::string& stored) -> std::optional<Date> {
    try {
      return Credentials::fromJson(parseJson(stored)).expiresAt;
    } catch (const std::exception&) {
      return std::nullopt;
    }
  };
  auto mine = expiry(data), theirs = expiry(than);
  return mine && (!theirs || *mine > *theirs);
}

}  // namespace

std::optional<std::string> SessionCredentialStore::read() {
  std::optional<std::string> kept;
  try {
    auto keyring = Keyring::open();
    if (!keyring) return file_.read();
    kept = keyring->read();
  } catch (const PlatformError&) {
    throw TrellisantError(kUnlock);
  }
  if (!kept) return file_.read();  // not moved yet
  // A program without the keyring (over ssh, say) may have saved a later sign-in in the file:
  // the later one wins and moves in, and the file goes once the keyring holds the winner.
  std::optional<std::string> inFile;
  try {
    inFile = file_.read();
  } catch (const TrellisantError&) {
    return kept;  // an unreachable file leaves the keyring's item in force
  }
  if (!inFile) return kept;
  if (!newer(*inFile, *kept)) {
    file_.remove();
    return kept;
  }
  try {
    write(*inFile);
  } catch (const TrellisantError&) {
    // Both stay; the file's sign-in is the one in force until a later save moves it.
  }
  return inFile;
}

void SessionCredentialStore::write(const std::string& data) {
  auto keyring = [] {
    try {
      return Keyring::open();
    } catch (const PlatformError&) {
      throw TrellisantError(kCannotCreate);
    }
  }();
  if (!keyring) return file_.write(data);
  bool updated = false;
  try {
    updated = keyring->update(data);
  } catch (const PlatformError&) {
    throw TrellisantError(kCannotUpdate);
  }
  if (!updated) {
    try {
      keyring->create(data);
    } catch (const PlatformError&) {
      throw TrellisantError(kCannotCreate);
    }
  }
  if (!filePresent()) return;
  try {
    if (keyring->read() == data) file_.remove();
  } catch (const PlatformError&) {
    // The file stays until a later save reads back intact.
  }
}

void SessionCredentialStore::remove() {
  try {
    if (auto keyring = Keyring::open()) keyring->remove();
  } catch (const PlatformError&) {
    // A keyring that refuses keeps its item; the file still goes.
  }
  file_.remove();
}

std::string SessionCredentialStore::location() {
  try {
    if (auto keyring = Keyring::open()) {
      switch (keyring->item()) {
        case Keyring::Item::unlocked: return "login keyring";
        case Keyring::Item::locked: return "login keyring (locked)";
        case Keyring::Item::none: break;
      }
    }
  } catch (const PlatformError&) {
    return "login keyring (locked)";  // a refusal reads as a lock everywhere else too
  }
  return file_.location();
}

namespace Vault {
namespace {

CredentialStore* store() {
  static SessionCredentialStore session;
  return &session;
}

}  // namespace

std::optional<Credentials> read() {
  auto data = store()->read();
  if (!data) return std::nullopt;
  return Credentials::fromJson(parseJson(*data));
}

void save(const Credentials& credentials) { store()->write(credentials.toJson().dump()); }

void clear() {
  try {
    store()->remove();
  } catch (...) {
  }
}

void disablePrompts() { Keyring::forbidPrompts(); }

std::string location() { return store()->location(); }

}  // namespace Vault
}  // namespace trellisant

#pragma once

#include <memory>
#include <optional>
#include <string>

#include "settings/credentials.h"

namespace trellisant {

// Where the credentials' stored form lives.
class CredentialStore {
 public:
  virtual ~CredentialStore() = default;
  // Nothing when no item exists; throws TrellisantError when the item cannot be read.
  virtual std::optional<std::string> read() = 0;
  // Creates or replaces the item; throws TrellisantError.
  virtual void write(const std::string& data) = 0;
  // Never fails.
  virtual void remove() = 0;
  // Where the item is kept, in words for `trellisantctl status`; "none" without one. Never
  // prompts and never fails.
  virtual std::string location() = 0;
};

// credentials.json in the support folder, mode 0600, replaced atomically.
class FileCredentialStore : public CredentialStore {
 public:
  std::optional<std::string> read() override;
  void write(const std::string& data) override;
  void remove() override;
  std::string location() override;
};

// The desktop's keyring when a Secret Service with a default collection answers on the session
// bus, else the file. A sign-in still in the file moves into the keyring at the next save: the
// file goes once the keyring gives back what was written. Where both hold one, reading keeps
// the later (by expiry) and removes the other once the keyring holds the winner.
class SessionCredentialStore : public CredentialStore {
 public:
  std::optional<std::string> read() override;
  void write(const std::string& data) override;
  void remove() override;
  std::string location() override;

 private:
  FileCredentialStore file_;
};

namespace Vault {
std::optional<Credentials> read();
void save(const Credentials& credentials);
void clear();
// The keyring never asks this process to unlock it: a locked keyring fails instead.
void disablePrompts();
// Where the sign-in is kept (CredentialStore::location).
std::string location();
}  // namespace Vault

}  // namespace trellisant

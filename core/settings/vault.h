#pragma once

#include <memory>
#include <optional>
#include <string>

#include "settings/credentials.h"

namespace trellisant {

// Where the credentials' stored form lives. The file store is the default; a Secret Service
// store can take its place later.
class CredentialStore {
 public:
  virtual ~CredentialStore() = default;
  // Nothing when no item exists; throws TrellisantError when the item cannot be read.
  virtual std::optional<std::string> read() = 0;
  // Creates or replaces the item; throws TrellisantError.
  virtual void write(const std::string& data) = 0;
  // Never fails.
  virtual void remove() = 0;
};

// credentials.json in the support folder, mode 0600, replaced atomically.
class FileCredentialStore : public CredentialStore {
 public:
  std::optional<std::string> read() override;
  void write(const std::string& data) override;
  void remove() override;
};

namespace Vault {
std::optional<Credentials> read();
void save(const Credentials& credentials);
void clear();
// Nothing to switch off on Linux; kept so the agent's start-up reads as designed.
void disablePrompts();
// Replaces the store (tests, other back ends). Passing nullptr restores the file store.
void setStore(std::shared_ptr<CredentialStore> store);
}  // namespace Vault

}  // namespace trellisant

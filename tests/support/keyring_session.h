#pragma once

#include <optional>
#include <string>

namespace trellisant::testing {

// The private session bus and unlocked login keyring of tests/support/keyring-session, which
// ctest runs the keyring tests in. Make it after TempHome, which hides every session bus.
class KeyringSession {
 public:
  KeyringSession();

  // The credentials item's secret as the Secret Service holds it.
  std::optional<std::string> item();
  // Stores the item as an earlier run of either program would have.
  void store(const std::string& secret);
  // Locks the default collection.
  void lock();
  // Unlock requests and prompts this process has sent to the Secret Service.
  int prompts() const;
};

}  // namespace trellisant::testing

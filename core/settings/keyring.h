#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace trellisant {

// The desktop's keyring through the Secret Service API (libsecret): the one item of the schema
// "com.trellisant.Trellisant" with the attributes service "com.trellisant.credentials" and
// account "native". Failures are PlatformErrors with the service's own description; the vault
// turns them into its sentences.
class Keyring {
 public:
  struct Connection;
  enum class Item { none, unlocked, locked };

  // The keyring of the session bus (DBUS_SESSION_BUS_ADDRESS, else $XDG_RUNTIME_DIR/bus), held
  // for one operation of the calling thread. Nothing when there is no session bus, no Secret
  // Service on it, or a service without a default collection (a headless machine where the
  // keyring daemon is merely installed). Throws when a service answers but refuses a session.
  static std::optional<Keyring> open();

  // From now on this process never asks the user to unlock: a locked item or collection fails.
  static void forbidPrompts();

  Keyring(Keyring&&) noexcept;
  ~Keyring();

  // Whether the item exists and is locked; never prompts.
  Item item();
  // The item's secret; nothing when there is no item. A locked item is unlocked first when
  // prompts are allowed; otherwise, or when the user declines, it fails.
  std::optional<std::string> read();
  // Replaces the secret of the existing item in place; false when there is no item.
  bool update(std::string_view data);
  // Creates the item in the default collection.
  void create(std::string_view data);
  // Deletes every such item; never fails.
  void remove();

 private:
  Keyring(std::unique_lock<std::mutex> lock, Connection& connection);
  std::unique_lock<std::mutex> lock_;
  Connection* connection_;
};

}  // namespace trellisant

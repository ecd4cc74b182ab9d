#include "keyring_session.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <stdlib.h>

#include <atomic>
#include <stdexcept>

namespace trellisant::testing {
namespace {

std::atomic<int> sentPrompts{0};

GDBusMessage* countPrompts(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
  std::string member = g_dbus_message_get_member(message) ? g_dbus_message_get_member(message) : "";
  if (!incoming && (member == "Unlock" || member == "Prompt")) ++sentPrompts;
  return message;
}

// The item as the programs store it, written out here so that a change there shows.
const SecretSchema* schema() {
  static const SecretSchema value = [] {
    SecretSchema s{};
    s.name = "com.trellisant.Trellisant";
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &value;
}

GHashTable* attributes() {
  return secret_attributes_build(schema(), "service", "com.trellisant.credentials", "account",
                                 "native", nullptr);
}

SecretService* service() {
  static SecretService* shared = [] {
    GError* error = nullptr;
    SecretService* found = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (found == nullptr) throw std::runtime_error(error->message);
    return found;
  }();
  return shared;
}

}  // namespace

KeyringSession::KeyringSession() {
  const char* bus = ::getenv("TRELLISANT_TEST_SESSION_BUS");
  if (bus == nullptr)
    throw std::runtime_error(
        "run keyring tests through tests/support/keyring-session (ctest does)");
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus, 1);
  static const bool watching [[maybe_unused]] = [] {
    g_dbus_connection_add_filter(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr), countPrompts,
                                 nullptr, nullptr);
    return true;
  }();
}

std::optional<KeyringSession::Item> KeyringSession::item() {
  GHashTable* query = attributes();
  GList* found = secret_service_search_sync(
      service(), schema(), query,
      static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS), nullptr,
      nullptr);
  g_hash_table_unref(query);
  if (found == nullptr) return std::nullopt;
  EXPECT_EQ(g_list_length(found), 1u) << "one item per user";
  Item item;
  if (SecretValue* secret = secret_item_get_secret(static_cast<SecretItem*>(found->data))) {
    item.secret = secret_value_get_text(secret);
    secret_value_unref(secret);
  }
  g_list_free_full(found, g_object_unref);
  return item;
}

void KeyringSession::store(const std::string& secret) {
  GHashTable* query = attributes();
  SecretValue* value = secret_value_new(secret.c_str(), -1, "text/plain");
  bool stored = secret_service_store_sync(service(), schema(), query, SECRET_COLLECTION_DEFAULT,
                                          "Trellisant device sign-in", value, nullptr, nullptr);
  secret_value_unref(value);
  g_hash_table_unref(query);
  if (!stored) throw std::runtime_error("could not store the item");
}

void KeyringSession::lock() {
  SecretCollection* collection = secret_collection_for_alias_sync(
      service(), SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
  GList* objects = g_list_append(nullptr, collection);
  int locked =
      collection ? secret_service_lock_sync(service(), objects, nullptr, nullptr, nullptr) : 0;
  g_list_free(objects);
  if (collection) g_object_unref(collection);
  if (locked != 1) throw std::runtime_error("the default collection did not lock");
}

int KeyringSession::prompts() const {
  return sentPrompts;
}

}  // namespace trellisant::testing

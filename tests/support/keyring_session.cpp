#include "keyring_session.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <stdlib.h>

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace trellisant::testing {
namespace {

std::atomic<int> sentPrompts{0};

GDBusMessage* countPrompts(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
  const char* member = g_dbus_message_get_member(message);
  if (!incoming && member != nullptr &&
      (std::strcmp(member, "Unlock") == 0 || std::strcmp(member, "Prompt") == 0))
    ++sentPrompts;
  return message;
}

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

// A method call of the Secret Service; the reply of `type`.
GVariant* call(const char* path, const char* interface, const char* method, GVariant* arguments,
               const char* type) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", path, interface, method,
                                                arguments, G_VARIANT_TYPE(type), G_DBUS_CALL_FLAGS_NONE,
                                                -1, nullptr, &error);
  g_object_unref(bus);
  if (reply == nullptr) throw std::runtime_error(std::string(method) + ": " + error->message);
  return reply;
}

}  // namespace

KeyringSession::KeyringSession() {
  const char* bus = ::getenv("TRELLISANT_TEST_SESSION_BUS");
  if (bus == nullptr) throw std::runtime_error("run keyring tests through tests/support/keyring-session (ctest does)");
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus, 1);
  static const bool watching = [] {
    GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    g_dbus_connection_add_filter(connection, countPrompts, nullptr, nullptr);
    return true;
  }();
  (void)watching;
}

std::optional<KeyringSession::Item> KeyringSession::item() {
  GHashTable* query = attributes();
  GList* found = secret_service_search_sync(service(), schema(), query,
                                            static_cast<SecretSearchFlags>(SECRET_SEARCH_ALL | SECRET_SEARCH_LOAD_SECRETS),
                                            nullptr, nullptr);
  g_hash_table_unref(query);
  if (found == nullptr) return std::nullopt;
  EXPECT_EQ(g_list_length(found), 1u) << "one item per user";
  auto* secretItem = static_cast<SecretItem*>(found->data);
  Item item;
  item.path = g_dbus_proxy_get_object_path(G_DBUS_PROXY(secretItem));
  gchar* label = secret_item_get_label(secretItem);
  item.label = label;
  g_free(label);
  GHashTable* stored = secret_item_get_attributes(secretItem);
  GHashTableIter iterator;
  gpointer key = nullptr;
  gpointer value = nullptr;
  g_hash_table_iter_init(&iterator, stored);
  while (g_hash_table_iter_next(&iterator, &key, &value))
    item.attributes[static_cast<char*>(key)] = static_cast<char*>(value);
  g_hash_table_unref(stored);
  if (SecretValue* secret = secret_item_get_secret(secretItem)) {
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

namespace {

constexpr const char* kService = "org.freedesktop.Secret.Service";

std::string defaultCollection() {
  GVariant* alias = call("/org/freedesktop/secrets", kService, "ReadAlias", g_variant_new("(s)", "default"), "(o)");
  const gchar* path = nullptr;
  g_variant_get(alias, "(&o)", &path);
  std::string collection = path;
  g_variant_unref(alias);
  return collection;
}

}  // namespace

void KeyringSession::lock() {
  std::string collection = defaultCollection();
  const gchar* paths[] = {collection.c_str(), nullptr};
  g_variant_unref(call("/org/freedesktop/secrets", kService, "Lock", g_variant_new("(^ao)", paths), "(aoo)"));
  GVariant* locked = call(collection.c_str(), "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), "(v)");
  GVariant* value = nullptr;
  g_variant_get(locked, "(v)", &value);
  bool done = g_variant_get_boolean(value);
  g_variant_unref(value);
  g_variant_unref(locked);
  if (!done) throw std::runtime_error("the default collection did not lock");
}

void KeyringSession::removeDefaultCollection() {
  std::string collection = defaultCollection();
  g_variant_unref(call(collection.c_str(), "org.freedesktop.Secret.Collection", "Delete", nullptr, "(o)"));
  if (defaultCollection() != "/") throw std::runtime_error("the default collection stayed");
}

int KeyringSession::prompts() const { return sentPrompts; }

}  // namespace trellisant::testing

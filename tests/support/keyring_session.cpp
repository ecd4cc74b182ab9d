#include "keyring_session.h"

#include <gtest/gtest.h>
// The search that returns item paths only is in the API libsecret still marks as unstable.
#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <stdexcept>

namespace trellisant::testing {
namespace {
using namespace std::string_view_literals;

std::atomic<int> sentPrompts{0};

GDBusMessage* countPrompts(GDBusConnection*, GDBusMessage* message, gboolean incoming, gpointer) {
  const char* member = g_dbus_message_get_member(message);
  if (!incoming && member && (member == "Unlock"sv || member == "Prompt"sv)) ++sentPrompts;
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

std::unique_ptr<GHashTable, void (*)(GHashTable*)> attributes() {
  return {secret_attributes_build(schema(), "service", "com.trellisant.credentials", "account",
                                  "native", nullptr),
          g_hash_table_unref};
}

}  // namespace

KeyringSession::KeyringSession() {
  const char* bus = ::getenv("TRELLISANT_TEST_SESSION_BUS");
  if (bus == nullptr)
    throw std::runtime_error("run keyring tests through tests/support/keyring-session");
  ::setenv("DBUS_SESSION_BUS_ADDRESS", bus, 1);
  static const bool watching [[maybe_unused]] = g_dbus_connection_add_filter(
      g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr), countPrompts, nullptr, nullptr);
}

std::optional<std::string> KeyringSession::item() {
  // Paths only, as the programs search: libsecret's item-returning search leaks the items'
  // initialisation data (8 bytes an item), which LeakSanitizer would rightly report.
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
  if (service == nullptr) throw std::runtime_error("no Secret Service on the test bus");
  gchar** unlocked = nullptr;
  gchar** locked = nullptr;
  bool searched = secret_service_search_for_dbus_paths_sync(service, schema(), attributes().get(),
                                                            nullptr, &unlocked, &locked, nullptr);
  g_object_unref(service);
  if (!searched) throw std::runtime_error("the Secret Service refused the search");
  guint count = (unlocked ? g_strv_length(unlocked) : 0) + (locked ? g_strv_length(locked) : 0);
  g_strfreev(unlocked);
  g_strfreev(locked);
  if (count == 0) return std::nullopt;
  EXPECT_EQ(count, 1u) << "one item per user";
  gchar* secret = secret_password_lookupv_sync(schema(), attributes().get(), nullptr, nullptr);
  std::string item = secret ? secret : "";
  secret_password_free(secret);
  return item;
}

void KeyringSession::store(const std::string& secret) {
  if (!secret_password_storev_sync(schema(), attributes().get(), SECRET_COLLECTION_DEFAULT,
                                   "Trellisant device sign-in", secret.c_str(), nullptr, nullptr))
    throw std::runtime_error("could not store the item");
}

void KeyringSession::lock() {
  SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, nullptr);
  SecretCollection* collection = secret_collection_for_alias_sync(
      service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, nullptr);
  GList* list = g_list_append(nullptr, collection);
  int locked = collection ? secret_service_lock_sync(service, list, nullptr, nullptr, nullptr) : 0;
  g_list_free(list);
  if (collection) g_object_unref(collection);
  g_object_unref(service);
  if (locked != 1) throw std::runtime_error("the default collection did not lock");
}

int KeyringSession::prompts() const {
  return sentPrompts;
}

}  // namespace trellisant::testing

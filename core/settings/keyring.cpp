#include "settings/keyring.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <vector>

#define SECRET_API_SUBJECT_TO_CHANGE
#include <libsecret/secret.h>

#include "error.h"
#include "settings/paths.h"

namespace trellisant {
namespace {

constexpr const char* kLabel = "Trellisant device sign-in";

const SecretSchema* schema() {
  static const SecretSchema value = [] {
    SecretSchema s{};
    s.name = "com.trellisant.Trellisant";
    s.flags = SECRET_SCHEMA_NONE;
    s.attributes[0] = {"service", SECRET_SCHEMA_ATTRIBUTE_STRING};
    s.attributes[1] = {"account", SECRET_SCHEMA_ATTRIBUTE_STRING};
    return s;
  }();
  return &value;
}

struct TableUnref {
  void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};
using Attributes = std::unique_ptr<GHashTable, TableUnref>;

Attributes attributes() {
  return Attributes(secret_attributes_build(schema(), "service", "com.trellisant.credentials",
                                            "account", "native", nullptr));
}

struct ObjectUnref {
  void operator()(gpointer object) const { g_object_unref(object); }
};
template <class T>
using Ref = std::unique_ptr<T, ObjectUnref>;

struct StrvFree {
  void operator()(gchar** strings) const { g_strfreev(strings); }
};
using Paths = std::unique_ptr<gchar*, StrvFree>;

struct ValueUnref {
  void operator()(SecretValue* value) const { secret_value_unref(value); }
};
using Value = std::unique_ptr<SecretValue, ValueUnref>;

// Collects a GError and throws it with the service's own words.
struct Failure {
  GError* error = nullptr;
  ~Failure() { g_clear_error(&error); }
  GError** out() { return &error; }
  [[noreturn]] void raise(const char* fallback) const {
    throw PlatformError(error != nullptr ? error->message : fallback);
  }
};

Value secretOf(std::string_view data) {
  return Value(secret_value_new(data.data(), static_cast<gssize>(data.size()), "text/plain"));
}

// ---- A service whose prompts are refused (and dismissed) instead of shown.

struct QuietService {
  SecretService parent;
};
struct QuietServiceClass {
  SecretServiceClass parent;
};

G_DEFINE_TYPE(QuietService, quiet_service, SECRET_TYPE_SERVICE)

void dismiss(SecretPrompt* prompt) {
  g_dbus_proxy_call(G_DBUS_PROXY(prompt), "Dismiss", nullptr, G_DBUS_CALL_FLAGS_NO_AUTO_START, -1,
                    nullptr, nullptr, nullptr);
}

GVariant* refusePromptSync(SecretService*, SecretPrompt* prompt, GCancellable*, const GVariantType*,
                           GError** error) {
  dismiss(prompt);
  g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "Prompts are switched off.");
  return nullptr;
}

void refusePrompt(SecretService* self, SecretPrompt* prompt, const GVariantType*, GCancellable*,
                  GAsyncReadyCallback callback, gpointer data) {
  dismiss(prompt);
  GTask* task = g_task_new(self, nullptr, callback, data);
  g_task_return_new_error(task, G_IO_ERROR, G_IO_ERROR_PERMISSION_DENIED, "Prompts are switched off.");
  g_object_unref(task);
}

GVariant* refusedPrompt(SecretService*, GAsyncResult* result, GError** error) {
  return static_cast<GVariant*>(g_task_propagate_pointer(G_TASK(result), error));
}

void quiet_service_init(QuietService*) {}

void quiet_service_class_init(QuietServiceClass* type) {
  type->parent.prompt_sync = refusePromptSync;
  type->parent.prompt_async = refusePrompt;
  type->parent.prompt_finish = refusedPrompt;
}

std::atomic<bool> promptsAllowed{true};

// Where sd-bus and GDBus look, without GDBus's X11 autolaunch: a daemon never starts a bus.
bool sessionBusExists() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address != nullptr && *address != '\0') return true;
  auto runtime = trellisant::Paths::runtimeFolder();
  struct stat info {};
  return runtime && ::stat((*runtime / "bus").c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// No Secret Service: nobody owns or can be started for the name, or whoever answers is not one.
bool absent(const GError* error) {
  if (error == nullptr || error->domain != G_DBUS_ERROR) return false;
  switch (error->code) {
    case G_DBUS_ERROR_SERVICE_UNKNOWN:
    case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
    case G_DBUS_ERROR_UNKNOWN_METHOD:
    case G_DBUS_ERROR_UNKNOWN_OBJECT:
    case G_DBUS_ERROR_UNKNOWN_INTERFACE:
      return true;
    default:
      return error->code >= G_DBUS_ERROR_SPAWN_EXEC_FAILED && error->code <= G_DBUS_ERROR_SPAWN_FAILED;
  }
}

}  // namespace

// One Secret Service session per process, used under a lock. Its D-Bus signals are delivered
// to a private main context that each operation drains, so the cached name owner stays true
// and nothing piles up between operations.
struct Keyring::Connection {
  std::mutex mutex;
  GMainContext* context = g_main_context_new();
  SecretService* service = nullptr;
  std::string owner;
  bool quiet = false;

  void reset() {
    if (service != nullptr) g_object_unref(service);
    service = nullptr;
    owner.clear();
  }

  bool current() {
    if (service == nullptr || quiet != !promptsAllowed) return false;
    gchar* name = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service));
    bool same = name != nullptr && owner == name;
    g_free(name);
    return same && !g_dbus_connection_is_closed(g_dbus_proxy_get_connection(G_DBUS_PROXY(service)));
  }

  // False when no Secret Service answers.
  bool ensure() {
    while (g_main_context_iteration(context, FALSE)) {
    }
    if (current()) return true;
    reset();
    Failure failure;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, failure.out());
    if (bus == nullptr) return false;
    // GDBus ends the whole process when its shared bus closes; a lost keyring is not fatal.
    g_dbus_connection_set_exit_on_close(bus, FALSE);
    g_object_unref(bus);
    quiet = !promptsAllowed;
    service = secret_service_open_sync(quiet ? quiet_service_get_type() : SECRET_TYPE_SERVICE,
                                       nullptr, SECRET_SERVICE_OPEN_SESSION, nullptr, failure.out());
    if (service == nullptr) {
      if (absent(failure.error)) return false;
      failure.raise("The Secret Service refused a session.");
    }
    gchar* name = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service));
    owner = name != nullptr ? name : "";
    g_free(name);
    return true;
  }

  bool hasDefaultCollection() {
    Failure failure;
    gchar* path = secret_service_read_alias_dbus_path_sync(service, "default", nullptr, failure.out());
    if (failure.error != nullptr) failure.raise("The Secret Service did not name its default collection.");
    bool found = path != nullptr;
    g_free(path);
    return found;
  }
};

std::optional<Keyring> Keyring::open() {
  if (!sessionBusExists()) return std::nullopt;
  static Connection* connection = new Connection;  // lives as long as the process
  std::unique_lock lock(connection->mutex);
  g_main_context_push_thread_default(connection->context);
  Keyring keyring(std::move(lock), *connection);
  if (!connection->ensure() || !connection->hasDefaultCollection()) return std::nullopt;
  return keyring;
}

void Keyring::forbidPrompts() { promptsAllowed = false; }

Keyring::Keyring(std::unique_lock<std::mutex> lock, Connection& connection)
    : lock_(std::move(lock)), connection_(&connection) {}

Keyring::Keyring(Keyring&&) noexcept = default;

Keyring::~Keyring() {
  if (lock_.owns_lock()) g_main_context_pop_thread_default(connection_->context);
}

namespace {

struct Found {
  Paths unlocked;
  Paths locked;
  const gchar* first() const {
    if (unlocked && unlocked.get()[0] != nullptr) return unlocked.get()[0];
    if (locked && locked.get()[0] != nullptr) return locked.get()[0];
    return nullptr;
  }
  bool isLocked(const gchar* path) const {
    return locked && g_strv_contains(locked.get(), path);
  }
};

Found search(SecretService* service) {
  Failure failure;
  gchar** unlocked = nullptr;
  gchar** locked = nullptr;
  if (!secret_service_search_for_dbus_paths_sync(service, schema(), attributes().get(), nullptr,
                                                 &unlocked, &locked, failure.out()))
    failure.raise("The Secret Service refused the search.");
  return {Paths(unlocked), Paths(locked)};
}

// The path of the item, unlocked: asks the user when prompts are allowed, else fails.
std::string unlock(SecretService* service, const gchar* path) {
  if (!promptsAllowed) throw PlatformError("The keyring is locked.");
  Failure failure;
  const gchar* paths[] = {path, nullptr};
  gchar** unlocked = nullptr;
  secret_service_unlock_dbus_paths_sync(service, paths, nullptr, &unlocked, failure.out());
  Paths owned(unlocked);
  if (failure.error != nullptr) failure.raise("The keyring stayed locked.");
  if (!owned || owned.get()[0] == nullptr) throw PlatformError("The keyring stayed locked.");
  return owned.get()[0];
}

}  // namespace

Keyring::Item Keyring::item() {
  Found found = search(connection_->service);
  const gchar* path = found.first();
  if (path == nullptr) return Item::none;
  return found.isLocked(path) ? Item::locked : Item::unlocked;
}

std::optional<std::string> Keyring::read() {
  SecretService* service = connection_->service;
  Found found = search(service);
  const gchar* first = found.first();
  if (first == nullptr) return std::nullopt;
  std::string path = found.isLocked(first) ? unlock(service, first) : first;
  Failure failure;
  Value value(secret_service_get_secret_for_dbus_path_sync(service, path.c_str(), nullptr, failure.out()));
  if (!value) failure.raise("The keyring returned no secret.");
  gsize length = 0;
  const gchar* bytes = secret_value_get(value.get(), &length);
  return std::string(bytes, length);
}

bool Keyring::update(std::string_view data) {
  SecretService* service = connection_->service;
  Found found = search(service);
  const gchar* first = found.first();
  if (first == nullptr) return false;
  std::string path = found.isLocked(first) ? unlock(service, first) : first;
  Failure failure;
  Ref<SecretItem> item(secret_item_new_for_dbus_path_sync(service, path.c_str(), SECRET_ITEM_NONE,
                                                          nullptr, failure.out()));
  if (!item || !secret_item_set_secret_sync(item.get(), secretOf(data).get(), nullptr, failure.out()))
    failure.raise("The keyring refused the new secret.");
  return true;
}

void Keyring::create(std::string_view data) {
  SecretService* service = connection_->service;
  Failure failure;
  if (!promptsAllowed) {
    // libsecret would ask to unlock a locked collection before storing; check first.
    Ref<SecretCollection> collection(secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, failure.out()));
    if (!collection) failure.raise("The keyring has no default collection.");
    if (secret_collection_get_locked(collection.get())) throw PlatformError("The keyring is locked.");
  }
  if (!secret_service_store_sync(service, schema(), attributes().get(), SECRET_COLLECTION_DEFAULT,
                                 kLabel, secretOf(data).get(), nullptr, failure.out()))
    failure.raise("The keyring refused the new item.");
}

void Keyring::remove() {
  SecretService* service = connection_->service;
  try {
    Found found = search(service);
    std::vector<std::string> paths;
    for (gchar** path = found.unlocked.get(); path && *path; ++path) paths.emplace_back(*path);
    for (gchar** path = found.locked.get(); path && *path; ++path) {
      try {
        paths.push_back(unlock(service, *path));
      } catch (const PlatformError&) {
        // A locked item stays where it cannot be unlocked; clearing never fails.
      }
    }
    for (auto& path : paths) secret_service_delete_item_dbus_path_sync(service, path.c_str(), nullptr, nullptr);
  } catch (const PlatformError&) {
    // A service that refuses the search keeps its items.
  }
}

}  // namespace trellisant

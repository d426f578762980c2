#include "platform/libsecret_store.h"

#include <libsecret/secret.h>

#include <cstdlib>
#include <filesystem>

namespace deskwave {
namespace {

const SecretSchema* deskwaveSchema() {
  static const SecretSchema schema = {
      "org.deskwave.Secret",
      SECRET_SCHEMA_NONE,
      {{"key", SECRET_SCHEMA_ATTRIBUTE_STRING}, {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
  };
  return &schema;
}

// Takes a GError and gives its message.
std::string consume(GError* error) {
  std::string message = error && error->message ? error->message : "unknown error";
  if (error) g_error_free(error);
  return message;
}

// GLib would start a bus by itself (dbus-launch) when none is configured; a
// probe must not.
bool sessionBusConfigured() {
  if (const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS"); address && *address) return true;
  const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  std::error_code ec;
  return runtimeDir && *runtimeDir && std::filesystem::exists(std::filesystem::path(runtimeDir) / "bus", ec);
}

}  // namespace

LibsecretStore::LibsecretStore(Log log) : log_(std::move(log)) {}

std::optional<std::string> LibsecretStore::get(const std::string& key) {
  GError* error = nullptr;
  gchar* value = secret_password_lookup_sync(deskwaveSchema(), nullptr, &error, "key", key.c_str(), nullptr);
  if (error) {
    if (log_) log_("Secrets: keyring lookup of " + key + " failed: " + consume(error));
    return std::nullopt;
  }
  if (!value) return std::nullopt;
  std::string out = value;
  secret_password_free(value);
  return out;
}

void LibsecretStore::set(const std::string& value, const std::string& key) {
  GError* error = nullptr;
  const std::string label = "Deskwave: " + key;
  secret_password_store_sync(deskwaveSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), value.c_str(), nullptr,
                             &error, "key", key.c_str(), nullptr);
  if (error && log_) log_("Secrets: keyring store of " + key + " failed: " + consume(error));
  else if (error) g_error_free(error);
}

void LibsecretStore::remove(const std::string& key) {
  GError* error = nullptr;
  secret_password_clear_sync(deskwaveSchema(), nullptr, &error, "key", key.c_str(), nullptr);
  if (error && log_) log_("Secrets: keyring removal of " + key + " failed: " + consume(error));
  else if (error) g_error_free(error);
}

bool LibsecretStore::probe(std::chrono::milliseconds timeout, std::string* why) {
  const auto fail = [why](std::string reason) {
    if (why) *why = std::move(reason);
    return false;
  };
  if (!sessionBusConfigured()) return fail("no session bus");
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (!bus) return fail("no session bus: " + consume(error));

  const auto call = [&](const char* path, const char* interface, const char* method, GVariant* args,
                        const char* replyType) {
    return g_dbus_connection_call_sync(bus, "org.freedesktop.secrets", path, interface, method, args,
                                       G_VARIANT_TYPE(replyType), G_DBUS_CALL_FLAGS_NONE,
                                       static_cast<gint>(timeout.count()), nullptr, &error);
  };
  // Asking for the default collection starts a D-Bus-activatable keyring.
  GVariant* alias = call("/org/freedesktop/secrets", "org.freedesktop.Secret.Service", "ReadAlias",
                         g_variant_new("(s)", "default"), "(o)");
  if (!alias) {
    g_object_unref(bus);
    return fail("no Secret Service: " + consume(error));
  }
  const gchar* collection = nullptr;
  g_variant_get(alias, "(&o)", &collection);
  const std::string path = collection ? collection : "/";
  g_variant_unref(alias);
  if (path == "/") {
    g_object_unref(bus);
    return fail("the keyring has no default collection");
  }
  // A locked collection would make libsecret show an unlock prompt and wait for the user.
  GVariant* locked = call(path.c_str(), "org.freedesktop.DBus.Properties", "Get",
                          g_variant_new("(ss)", "org.freedesktop.Secret.Collection", "Locked"), "(v)");
  g_object_unref(bus);
  if (!locked) return fail("the default collection does not answer: " + consume(error));
  GVariant* value = nullptr;
  g_variant_get(locked, "(v)", &value);
  const bool isLocked = value && g_variant_is_of_type(value, G_VARIANT_TYPE_BOOLEAN) && g_variant_get_boolean(value);
  if (value) g_variant_unref(value);
  g_variant_unref(locked);
  if (isLocked) return fail("the keyring is locked");
  return true;
}

}  // namespace deskwave

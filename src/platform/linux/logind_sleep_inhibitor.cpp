#include "platform/linux/logind_sleep_inhibitor.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <algorithm>

namespace deskwave {
namespace {

using Clock = std::chrono::steady_clock;

// Takes a GError and gives its message.
std::string consume(GError* error) {
  std::string message = error ? error->message : "unknown error";
  if (error) g_error_free(error);
  return message;
}

// What is left of the time allowed, for a GLib timeout in milliseconds (at least 1).
int millisecondsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 1, 60'000));
}

struct Connecting {
  GDBusConnection* bus = nullptr;
  GError* error = nullptr;
  bool done = false;
};

// Opens an authenticated connection to the bus at `address`, given up at
// `deadline`. Connecting and authenticating run on GDBus's worker, so waiting
// on a private main context and cancelling at the deadline bounds both.
GDBusConnection* openConnection(const char* address, Clock::time_point deadline, std::string& why) {
  GMainContext* context = g_main_context_new();
  g_main_context_push_thread_default(context);
  GCancellable* cancel = g_cancellable_new();
  Connecting connecting;
  g_dbus_connection_new_for_address(
      address, G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT, nullptr, cancel,
      [](GObject*, GAsyncResult* result, gpointer data) {
        auto* c = static_cast<Connecting*>(data);
        c->bus = g_dbus_connection_new_for_address_finish(result, &c->error);
        c->done = true;
      },
      &connecting);
  GSource* timer = g_timeout_source_new(static_cast<guint>(millisecondsLeft(deadline)));
  g_source_set_callback(
      timer,
      [](gpointer data) {
        g_cancellable_cancel(static_cast<GCancellable*>(data));
        return G_SOURCE_REMOVE;
      },
      cancel, nullptr);
  g_source_attach(timer, context);
  // A cancelled attempt still completes, with an error.
  while (!connecting.done) g_main_context_iteration(context, TRUE);
  g_source_destroy(timer);
  g_source_unref(timer);
  g_object_unref(cancel);
  g_main_context_pop_thread_default(context);
  g_main_context_unref(context);
  if (!connecting.bus) why = consume(connecting.error);
  return connecting.bus;
}

}  // namespace

LogindSleepInhibitor::LogindSleepInhibitor(Log log, std::chrono::milliseconds timeout)
    : log_(std::move(log)), timeout_(timeout) {}

LogindSleepInhibitor::~LogindSleepInhibitor() {
  for (const auto& [token, fd] : locks_) ::close(fd);
  if (bus_) g_object_unref(bus_);
}

SleepInhibitor::Token LogindSleepInhibitor::begin(const std::string& reason) {
  std::string why;
  bool sayWhy = false;
  Token token;
  {
    std::lock_guard lock(mutex_);
    token = ++last_;
    const int fd = inhibit(reason, why);
    if (fd >= 0) {
      locks_.emplace(token, fd);
    } else if (!saidUnavailable_) {
      saidUnavailable_ = sayWhy = true;
    }
  }
  if (sayWhy && log_) {
    log_("Keep-awake: the login manager did not inhibit idle sleep (" + why +
         "); the computer may still sleep when idle");
  }
  return token;
}

void LogindSleepInhibitor::end(Token token) {
  std::lock_guard lock(mutex_);
  const auto found = locks_.find(token);
  if (found == locks_.end()) return;
  // logind drops the lock when its last descriptor is closed.
  ::close(found->second);
  locks_.erase(found);
}

bool LogindSleepInhibitor::connect(Clock::time_point deadline, std::string& why) {
  if (bus_ && !g_dbus_connection_is_closed(bus_)) return true;
  if (bus_) g_object_unref(bus_);
  bus_ = nullptr;

  GError* error = nullptr;
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (!address) {
    why = consume(error);
    return false;
  }
  GDBusConnection* bus = openConnection(address, deadline, why);
  g_free(address);
  if (!bus) return false;
  // Registering with the bus ourselves, rather than letting GDBus do it while
  // connecting, keeps a bus that never answers within the deadline too.
  GVariant* hello = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                "org.freedesktop.DBus", "Hello", nullptr, G_VARIANT_TYPE("(s)"),
                                                G_DBUS_CALL_FLAGS_NONE, millisecondsLeft(deadline), nullptr, &error);
  if (!hello) {
    why = consume(error);
    g_object_unref(bus);
    return false;
  }
  g_variant_unref(hello);
  bus_ = bus;
  return true;
}

int LogindSleepInhibitor::inhibit(const std::string& reason, std::string& why) {
  const auto deadline = Clock::now() + timeout_;
  if (!connect(deadline, why)) return -1;

  // D-Bus strings must be UTF-8; a reason that is not is repaired, not refused.
  gchar* validReason = g_utf8_make_valid(reason.c_str(), static_cast<gssize>(reason.size()));
  GUnixFDList* fds = nullptr;
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_with_unix_fd_list_sync(
      bus_, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager", "Inhibit",
      g_variant_new("(ssss)", "idle", "Deskwave", validReason, "block"), G_VARIANT_TYPE("(h)"), G_DBUS_CALL_FLAGS_NONE,
      millisecondsLeft(deadline), nullptr, &fds, nullptr, &error);
  g_free(validReason);
  if (!reply) {
    why = consume(error);
    return -1;
  }
  gint32 index = -1;
  g_variant_get(reply, "(h)", &index);
  g_variant_unref(reply);
  if (!fds || index < 0 || index >= g_unix_fd_list_get_length(fds)) {
    if (fds) g_object_unref(fds);
    why = "the reply carried no file descriptor";
    return -1;
  }
  // The list closes its own copies; the lock lives on in the duplicate kept.
  const int fd = g_unix_fd_list_get(fds, index, &error);
  g_object_unref(fds);
  if (fd < 0) why = consume(error);
  return fd;
}

}  // namespace deskwave

#include "platform/wayland/global_shortcuts.h"

#include <algorithm>

namespace nimbra {
namespace {

constexpr char kPortal[] = "org.freedesktop.portal.Desktop";
constexpr char kPath[] = "/org/freedesktop/portal/desktop";
constexpr char kShortcuts[] = "org.freedesktop.portal.GlobalShortcuts";
constexpr char kShortcutId[] = "summon";

}  // namespace

GlobalShortcuts::GlobalShortcuts(std::function<void(std::int32_t)> outcome,
                                 std::function<void()> pressed)
    : outcome_(std::move(outcome)), pressed_(std::move(pressed)) {
  g_bus_get(G_BUS_TYPE_SESSION, cancel_, &GlobalShortcuts::onBus, this);
}

GlobalShortcuts::~GlobalShortcuts() {
  // Answers still on their way find their call cancelled and this object untouched.
  g_cancellable_cancel(cancel_);
  g_object_unref(cancel_);
  if (bus_) {
    if (responseWatch_) g_dbus_connection_signal_unsubscribe(bus_, responseWatch_);
    if (activatedWatch_) g_dbus_connection_signal_unsubscribe(bus_, activatedWatch_);
    g_object_unref(bus_);
  }
}

void GlobalShortcuts::onBus(GObject*, GAsyncResult* result, gpointer self) {
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_finish(result, &error);
  if (!bus) {
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_error_free(error);
    if (!cancelled) static_cast<GlobalShortcuts*>(self)->finish(kNotOffered);
    return;
  }
  auto* s = static_cast<GlobalShortcuts*>(self);
  s->bus_ = bus;
  // The shared connection's default is to end the process when the bus goes away.
  g_dbus_connection_set_exit_on_close(bus, FALSE);
  g_dbus_connection_call(bus, kPortal, kPath, "org.freedesktop.DBus.Properties", "Get",
                         g_variant_new("(ss)", kShortcuts, "version"), G_VARIANT_TYPE("(v)"),
                         G_DBUS_CALL_FLAGS_NONE, -1, s->cancel_, &GlobalShortcuts::onVersion, s);
}

void GlobalShortcuts::onVersion(GObject* bus, GAsyncResult* result, gpointer self) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
  if (!reply) {
    const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
    g_error_free(error);
    if (!cancelled) static_cast<GlobalShortcuts*>(self)->finish(kNotOffered);
    return;
  }
  g_variant_unref(reply);
  auto* s = static_cast<GlobalShortcuts*>(self);
  s->activatedWatch_ = g_dbus_connection_signal_subscribe(
      s->bus_, kPortal, kShortcuts, "Activated", kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
      &GlobalShortcuts::onActivated, s, nullptr);
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("nimbra_session"));
  g_variant_builder_add(&options, "{sv}", "session_handle_token",
                        g_variant_new_string("nimbra_wheel"));
  s->request("CreateSession", g_variant_new("(a{sv})", &options), "nimbra_session");
}

void GlobalShortcuts::request(const char* method, GVariant* arguments, const std::string& token) {
  // The portal answers on /org/freedesktop/portal/desktop/request/SENDER/TOKEN, SENDER being
  // our unique name without its colon and with underscores for dots. Watched before the call,
  // so a quick answer is not missed.
  std::string sender = g_dbus_connection_get_unique_name(bus_) + 1;
  std::replace(sender.begin(), sender.end(), '.', '_');
  const std::string path = std::string(kPath) + "/request/" + sender + "/" + token;
  if (responseWatch_) g_dbus_connection_signal_unsubscribe(bus_, responseWatch_);
  responseWatch_ = g_dbus_connection_signal_subscribe(
      bus_, kPortal, "org.freedesktop.portal.Request", "Response", path.c_str(), nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, &GlobalShortcuts::onResponse, this, nullptr);
  g_dbus_connection_call(bus_, kPortal, kPath, kShortcuts, method, arguments, G_VARIANT_TYPE("(o)"),
                         G_DBUS_CALL_FLAGS_NONE, -1, cancel_, &GlobalShortcuts::onCalled, this);
}

void GlobalShortcuts::onCalled(GObject* bus, GAsyncResult* result, gpointer self) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
  if (reply) {
    g_variant_unref(reply);
    return;  // the answer comes as the request's Response
  }
  const bool cancelled = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED);
  g_error_free(error);
  if (!cancelled) static_cast<GlobalShortcuts*>(self)->finish(kFailed);
}

void GlobalShortcuts::onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                 const gchar*, GVariant* parameters, gpointer self) {
  auto* s = static_cast<GlobalShortcuts*>(self);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ua{sv})"))) return;
  guint32 response = 0;
  GVariant* results = nullptr;
  g_variant_get(parameters, "(u@a{sv})", &response, &results);
  g_dbus_connection_signal_unsubscribe(s->bus_, s->responseWatch_);
  s->responseWatch_ = 0;
  if (response != 0) {
    g_variant_unref(results);
    s->finish(static_cast<std::int32_t>(response));
    return;
  }
  if (!s->session_.empty()) {
    g_variant_unref(results);
    s->bound_ = true;
    s->finish(0);
    return;
  }
  // The session: its handle is a string in the portal's description, an object path in some.
  const gchar* handle = nullptr;
  if (!g_variant_lookup(results, "session_handle", "&s", &handle) &&
      !g_variant_lookup(results, "session_handle", "&o", &handle)) {
    g_variant_unref(results);
    s->finish(kFailed);
    return;
  }
  s->session_ = handle;
  g_variant_unref(results);
  GVariantBuilder shortcuts;
  g_variant_builder_init(&shortcuts, G_VARIANT_TYPE("a(sa{sv})"));
  GVariantBuilder properties;
  g_variant_builder_init(&properties, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&properties, "{sv}", "description",
                        g_variant_new_string("Open or close the wheel at the pointer"));
  g_variant_builder_add(&properties, "{sv}", "preferred_trigger",
                        g_variant_new_string("LOGO+ALT+w"));
  g_variant_builder_add(&shortcuts, "(sa{sv})", kShortcutId, &properties);
  GVariantBuilder options;
  g_variant_builder_init(&options, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&options, "{sv}", "handle_token", g_variant_new_string("nimbra_bind"));
  s->request("BindShortcuts",
             g_variant_new("(oa(sa{sv})sa{sv})", s->session_.c_str(), &shortcuts, "", &options),
             "nimbra_bind");
}

void GlobalShortcuts::onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                  const gchar*, GVariant* parameters, gpointer self) {
  auto* s = static_cast<GlobalShortcuts*>(self);
  if (!s->bound_ || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(osta{sv})"))) return;
  const gchar* session = nullptr;
  const gchar* id = nullptr;
  g_variant_get(parameters, "(&o&st@a{sv})", &session, &id, nullptr, nullptr);
  if (s->session_ == session && g_strcmp0(id, kShortcutId) == 0 && s->pressed_) s->pressed_();
}

void GlobalShortcuts::finish(std::int32_t status) {
  if (outcome_) outcome_(status);
  outcome_ = nullptr;  // told once
}

}  // namespace nimbra

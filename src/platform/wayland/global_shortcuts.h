// The summoning hot key through the desktop's GlobalShortcuts portal (KDE Plasma, GNOME 48+,
// Hyprland): a session with one shortcut, Super+Alt+W preferred, bound once; its presses come
// as signals. All of it is asynchronous, on the GLib loop: the portal may ask the user first.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <string>

namespace nimbra {

class GlobalShortcuts {
 public:
  // Statuses of a refusal besides the portal's own response codes (1 cancelled, 2 other).
  static constexpr std::int32_t kNotOffered = -1;  // no session bus, or no such portal on it
  static constexpr std::int32_t kFailed = -2;      // the portal answered a call with an error

  // `outcome` gets 0 once the shortcut is bound, or a refusal's status; `pressed` runs for
  // each press of it.
  GlobalShortcuts(std::function<void(std::int32_t)> outcome, std::function<void()> pressed);
  ~GlobalShortcuts();
  GlobalShortcuts(const GlobalShortcuts&) = delete;
  GlobalShortcuts& operator=(const GlobalShortcuts&) = delete;

 private:
  static void onBus(GObject*, GAsyncResult* result, gpointer self);
  static void onVersion(GObject* bus, GAsyncResult* result, gpointer self);
  static void onCalled(GObject* bus, GAsyncResult* result, gpointer self);
  static void onResponse(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer self);
  static void onActivated(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                          GVariant* parameters, gpointer self);
  // Calls a portal method whose answer comes as a Response signal on a request object.
  void request(const char* method, GVariant* arguments, const std::string& token);
  void finish(std::int32_t status);

  std::function<void(std::int32_t)> outcome_;
  std::function<void()> pressed_;
  GCancellable* cancel_ = g_cancellable_new();
  GDBusConnection* bus_ = nullptr;
  guint responseWatch_ = 0;
  guint activatedWatch_ = 0;
  std::string session_;  // the session's object path, once made
  bool bound_ = false;
};

}  // namespace nimbra

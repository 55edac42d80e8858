// A stand-in for the desktop's GlobalShortcuts portal on a private session bus, for the tests:
// it binds what it is asked (or answers BindShortcuts with the response code given after
// --refuse) and sends an activation of the bound shortcut on every SIGUSR1. It creates the file
// named first on its command line once it owns the portal's name.
//   nimbra-portal-stand-in READY_FILE [--refuse N]
#include <gio/gio.h>
#include <glib-unix.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr char kPath[] = "/org/freedesktop/portal/desktop";
constexpr char kInterface[] = "org.freedesktop.portal.GlobalShortcuts";
constexpr char kXml[] = R"xml(<node>
  <interface name="org.freedesktop.portal.GlobalShortcuts">
    <method name="CreateSession">
      <arg type="a{sv}" direction="in"/><arg type="o" direction="out"/>
    </method>
    <method name="BindShortcuts">
      <arg type="o" direction="in"/><arg type="a(sa{sv})" direction="in"/>
      <arg type="s" direction="in"/><arg type="a{sv}" direction="in"/>
      <arg type="o" direction="out"/>
    </method>
    <signal name="Activated">
      <arg type="o"/><arg type="s"/><arg type="t"/><arg type="a{sv}"/>
    </signal>
    <property name="version" type="u" access="read"/>
  </interface>
</node>)xml";

struct State {
  GDBusConnection* bus = nullptr;
  guint32 refuse = 0;
  std::string readyFile;
  std::string client;  // the helper's unique name
  std::string session;
  std::string shortcut;
};

std::string requestPath(const gchar* sender, const gchar* token) {
  std::string who = sender + 1;
  for (char& c : who) c = c == '.' ? '_' : c;
  return std::string(kPath) + "/request/" + who + "/" + token;
}

void respond(State& s, const std::string& path, guint32 code, GVariant* results) {
  g_dbus_connection_emit_signal(s.bus, s.client.c_str(), path.c_str(),
                                "org.freedesktop.portal.Request", "Response",
                                g_variant_new("(u@a{sv})", code, results), nullptr);
}

void onCall(GDBusConnection*, const gchar* sender, const gchar*, const gchar*, const gchar* method,
            GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data) {
  State& s = *static_cast<State*>(data);
  s.client = sender;
  GVariantDict results;
  g_variant_dict_init(&results, nullptr);
  GVariant* options = g_variant_get_child_value(parameters, g_variant_n_children(parameters) - 1);
  const gchar* token = "t";
  g_variant_lookup(options, "handle_token", "&s", &token);
  const std::string path = requestPath(sender, token);
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", path.c_str()));
  guint32 code = 0;
  if (std::strcmp(method, "CreateSession") == 0) {
    const gchar* name = "s";
    g_variant_lookup(options, "session_handle_token", "&s", &name);
    s.session = requestPath(sender, name);
    s.session.replace(s.session.find("/request/"), 9, "/session/");
    g_variant_dict_insert(&results, "session_handle", "s", s.session.c_str());
  } else {
    GVariant* shortcuts = g_variant_get_child_value(parameters, 1);
    if (g_variant_n_children(shortcuts) > 0) {
      const gchar* id = nullptr;
      g_variant_get_child(shortcuts, 0, "(&s@a{sv})", &id, nullptr);
      s.shortcut = id;
    }
    g_variant_unref(shortcuts);
    code = s.refuse;
  }
  g_variant_unref(options);
  respond(s, path, code, g_variant_dict_end(&results));
}

GVariant* onGet(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GError**,
                gpointer) {
  return g_variant_new_uint32(1);
}

gboolean onUsr1(gpointer data) {
  State& s = *static_cast<State*>(data);
  if (!s.session.empty()) {
    g_dbus_connection_emit_signal(
        s.bus, nullptr, kPath, kInterface, "Activated",
        g_variant_new("(ost@a{sv})", s.session.c_str(), s.shortcut.c_str(), guint64{0},
                      g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
        nullptr);
  }
  return G_SOURCE_CONTINUE;
}

void onNameAcquired(GDBusConnection*, const gchar*, gpointer data) {
  if (FILE* f = std::fopen(static_cast<State*>(data)->readyFile.c_str(), "w")) std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  State s;
  s.readyFile = argv[1];
  if (argc > 3 && std::strcmp(argv[2], "--refuse") == 0) s.refuse = std::atoi(argv[3]);
  s.bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!s.bus) return 1;
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(kXml, nullptr);
  static const GDBusInterfaceVTable vtable{&onCall, &onGet, nullptr, {}};
  g_dbus_connection_register_object(s.bus, kPath, node->interfaces[0], &vtable, &s, nullptr,
                                    nullptr);
  g_unix_signal_add(SIGUSR1, &onUsr1, &s);
  g_bus_own_name_on_connection(s.bus, "org.freedesktop.portal.Desktop", G_BUS_NAME_OWNER_FLAGS_NONE,
                               &onNameAcquired, nullptr, &s, nullptr);
  g_main_loop_run(g_main_loop_new(nullptr, FALSE));
  return 0;
}

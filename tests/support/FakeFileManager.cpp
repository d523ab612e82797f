// A file manager for the desktop tests: owns org.freedesktop.FileManager1 on the session bus
// that DBUS_SESSION_BUS_ADDRESS names and appends every URI it is asked to show to a record
// file, one per line, before it answers. Usage: fake_file_manager RECORD MODE, where MODE is
//   answer  reply at once, as a real file manager does;
//   fail    reply with an error;
//   silent  never reply;
//   application  own org.tamberlo.TestApp instead, a D-Bus activatable application, and record
//                the URIs of every org.freedesktop.Application.Open.
// Once it owns the name it creates RECORD.ready. It ends when its bus goes away.
#include <fcntl.h>
#include <gio/gio.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kIntrospection[] = R"(
<node>
  <interface name="org.freedesktop.FileManager1">
    <method name="ShowItems">
      <arg type="as" name="URIs" direction="in"/>
      <arg type="s" name="StartupId" direction="in"/>
    </method>
  </interface>
</node>)";

constexpr char kApplicationIntrospection[] = R"(
<node>
  <interface name="org.freedesktop.Application">
    <method name="Activate"><arg type="a{sv}" name="platform-data" direction="in"/></method>
    <method name="Open">
      <arg type="as" name="uris" direction="in"/>
      <arg type="a{sv}" name="platform-data" direction="in"/>
    </method>
    <method name="ActivateAction">
      <arg type="s" name="action-name" direction="in"/>
      <arg type="av" name="parameter" direction="in"/>
      <arg type="a{sv}" name="platform-data" direction="in"/>
    </method>
  </interface>
</node>)";

std::string gRecord;
std::string gMode;

void appendLine(const std::string& path, const std::string& line) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  std::string text = line + "\n";
  // One write per line, so a reader never sees half a URI.
  if (::write(fd, text.data(), text.size()) < 0) perror("fake_file_manager: write");
  ::close(fd);
}

void onMethodCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                  GVariant* parameters, GDBusMethodInvocation* invocation, gpointer) {
  if (gMode == "application") {
    if (std::strcmp(method, "Open") == 0) {
      GVariantIter* uris = nullptr;
      g_variant_get(parameters, "(as@a{sv})", &uris, nullptr);
      const char* uri = nullptr;
      while (g_variant_iter_next(uris, "&s", &uri)) appendLine(gRecord, uri);
      g_variant_iter_free(uris);
    }
    g_dbus_method_invocation_return_value(invocation, nullptr);
    return;
  }
  if (std::strcmp(method, "ShowItems") != 0) return;
  GVariantIter* uris = nullptr;
  const char* startupId = nullptr;
  g_variant_get(parameters, "(as&s)", &uris, &startupId);
  const char* uri = nullptr;
  while (g_variant_iter_next(uris, "&s", &uri)) appendLine(gRecord, uri);
  g_variant_iter_free(uris);
  if (gMode == "answer") {
    g_dbus_method_invocation_return_value(invocation, nullptr);
  } else if (gMode == "fail") {
    g_dbus_method_invocation_return_dbus_error(invocation, "org.freedesktop.DBus.Error.Failed",
                                               "cannot show that");
  }
  // silent: the invocation is kept unanswered for as long as the process lives.
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fake_file_manager RECORD answer|fail|silent|application\n");
    return 2;
  }
  gRecord = argv[1];
  gMode = argv[2];
  static const GDBusInterfaceVTable vtable = {onMethodCall, nullptr, nullptr, {}};
  const bool application = gMode == "application";
  const char* name = application ? "org.tamberlo.TestApp" : "org.freedesktop.FileManager1";
  const char* path = application ? "/org/tamberlo/TestApp" : "/org/freedesktop/FileManager1";
  GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
      application ? kApplicationIntrospection : kIntrospection, nullptr);
  GError* error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  if (bus == nullptr) {
    std::fprintf(stderr, "fake_file_manager: no bus: %s\n", error->message);
    return 1;
  }
  if (g_dbus_connection_register_object(bus, path, node->interfaces[0], &vtable, nullptr, nullptr,
                                        &error) == 0) {
    std::fprintf(stderr, "fake_file_manager: %s\n", error->message);
    return 1;
  }
  g_bus_own_name_on_connection(
      bus, name, G_BUS_NAME_OWNER_FLAGS_DO_NOT_QUEUE,
      [](GDBusConnection*, const char*, gpointer) { appendLine(gRecord + ".ready", "owned"); },
      [](GDBusConnection*, const char*, gpointer) { std::exit(3); }, nullptr, nullptr);
  // The shared bus connection ends this process when the bus closes.
  g_main_loop_run(g_main_loop_new(nullptr, FALSE));
  return 0;
}

// GLib, GObject and GIO, loaded at the desktop's first use, never at the host's start: most host
// processes answer one message that never touches the desktop, and a linked GIO makes each of them
// load and relocate a dozen shared libraries first. The desktop code compiles against GLib's
// headers for the types and constants but calls every function through the table below; the host
// binary itself has no reference to any of them.
#pragma once

#include <gio/gio.h>

#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace tamberlo::glib {

// Every GLib, GObject and GIO function that the desktop code calls, without its "g_" prefix. One
// list gives both the table's member and the symbol looked up for it, and each member has the type
// of the function declared in GLib's headers: every call through the table is checked as a direct
// call is. Macros that stand for a call (G_IO_ERROR is g_io_error_quark()) must be spelled as the
// call through the table.
#define TAMBERLO_GLIB_FUNCTIONS(X)          \
  X(app_info_launch_default_for_uri)        \
  X(bus_get_sync)                           \
  X(cancellable_cancel)                     \
  X(cancellable_new)                        \
  X(content_type_guess)                     \
  X(content_type_is_a)                      \
  X(dbus_address_get_for_bus_sync)          \
  X(dbus_connection_call_sync)              \
  X(dbus_connection_flush_sync)             \
  X(dbus_connection_new_for_address)        \
  X(dbus_connection_new_for_address_finish) \
  X(error_free)                             \
  X(error_matches)                          \
  X(filename_to_uri)                        \
  X(free)                                   \
  X(io_error_quark)                         \
  X(main_context_iteration)                 \
  X(main_context_new)                       \
  X(main_context_pop_thread_default)        \
  X(main_context_push_thread_default)       \
  X(main_context_unref)                     \
  X(object_unref)                           \
  X(source_attach)                          \
  X(source_destroy)                         \
  X(source_set_callback)                    \
  X(source_unref)                           \
  X(timeout_source_new)                     \
  X(variant_new)                            \
  X(variant_unref)

// The functions of one loaded GIO. Complete whenever one is handed out: no member is null.
struct Functions {
#define TAMBERLO_GLIB_MEMBER(name) decltype(&::g_##name) name = nullptr;
  TAMBERLO_GLIB_FUNCTIONS(TAMBERLO_GLIB_MEMBER)
#undef TAMBERLO_GLIB_MEMBER
};

// The shared library that the desktop uses: the one GIO's own programs are linked against.
inline constexpr char kGioLibrary[] = "libgio-2.0.so.0";

// Opens the shared library `library` (a name or a path, as dlopen takes it) with every symbol
// bound at once and none of them made visible to the rest of the process, and looks up every
// function of the table in it and the libraries it depends on (GObject and GLib for GIO).
//
// REQUIRES: nothing; safe to call from any thread. Promises: a table with every member set, or
// nothing when the library cannot be opened or lacks any of the functions, in which case the
// library is closed again and nothing else has changed. A table handed out stays valid for the
// rest of the process: its library is never closed, since GIO leaves threads of its own
// running in it. Loading runs the libraries' initialisers and nothing else; GIO's threads
// start only with the calls that need them.
std::optional<Functions> load(const std::string& library);

// A library of GLib functions, loaded on first use.
class Library {
 public:
  explicit Library(std::string name) : name_(std::move(name)) {}
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  // The library's table: loaded by the first call, from whichever thread (calls that come
  // meanwhile wait for that one load), and the same answer for every call after it, the load
  // never tried again. Null when the library is missing or incomplete; the caller then does
  // without the desktop and must not fail on that account.
  const Functions* functions() {
    std::call_once(loaded_, [this] { functions_ = load(name_); });
    return functions_ ? &*functions_ : nullptr;
  }

 private:
  std::string name_;
  std::once_flag loaded_;
  std::optional<Functions> functions_;
};

// The system's GIO (kGioLibrary), one for the whole process, loaded by the first call to its
// functions().
Library& systemGio();

}  // namespace tamberlo::glib

#include "Platform/Linux/GLibLibrary.h"

#include <dlfcn.h>

#include <memory>

namespace tamberlo::glib {
namespace {

// Closes a library that did not make it into a table.
struct Closer {
  void operator()(void* handle) const { ::dlclose(handle); }
};
using Handle = std::unique_ptr<void, Closer>;

// The function `name` in `handle` as the type `T` of its declaration, or null.
template <typename T>
T lookUp(void* handle, const char* name) {
  return reinterpret_cast<T>(::dlsym(handle, name));
}

}  // namespace

std::optional<Functions> load(const std::string& library) {
  // RTLD_NOW: a library that cannot bind all it needs is refused here, not at some later call.
  // RTLD_LOCAL: GLib's symbols stay out of the global scope, where they would shadow those of any
  // library that the process loads later.
  Handle handle(::dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL));
  if (!handle) return std::nullopt;
  Functions functions;
  bool complete = true;
#define TAMBERLO_GLIB_LOOK_UP(name)                                            \
  functions.name = lookUp<decltype(functions.name)>(handle.get(), "g_" #name); \
  complete = complete && functions.name != nullptr;
  TAMBERLO_GLIB_FUNCTIONS(TAMBERLO_GLIB_LOOK_UP)
#undef TAMBERLO_GLIB_LOOK_UP
  if (!complete) return std::nullopt;
  // Kept open for good: the table points into it, and GIO's threads run in it.
  static_cast<void>(handle.release());
  return functions;
}

Library& systemGio() {
  static Library gio(kGioLibrary);
  return gio;
}

}  // namespace tamberlo::glib

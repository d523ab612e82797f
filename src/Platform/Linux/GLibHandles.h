// Owning handles for the GLib objects the desktop code holds: every way out of a scope releases
// them. Each handle keeps the function table of the GLib that made its object and gives the object
// back through it: `glib::String uri(g.filename_to_uri(...), {&g})`.
#pragma once

#include <memory>

#include "Platform/Linux/GLibLibrary.h"

namespace tamberlo::glib {

// Releases an object with the table's function `Release`. An empty handle holds no table and
// releases nothing.
template <auto Functions::*Release>
struct Releaser {
  const Functions* functions = nullptr;
  template <typename T>
  void operator()(T* object) const {
    (functions->*Release)(object);
  }
};

// A string that GLib allocated.
using String = std::unique_ptr<char, Releaser<&Functions::free>>;
// One reference to a GObject.
template <typename T>
using Object = std::unique_ptr<T, Releaser<&Functions::object_unref>>;
using ErrorPtr = std::unique_ptr<GError, Releaser<&Functions::error_free>>;
using Variant = std::unique_ptr<GVariant, Releaser<&Functions::variant_unref>>;

}  // namespace tamberlo::glib

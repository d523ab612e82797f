// Owning handles for the GLib objects the desktop code holds, so that every way out of a call
// releases them.
#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace tamberlo::glib {

struct FreeDeleter {
  void operator()(void* memory) const { g_free(memory); }
};
struct ObjectDeleter {
  void operator()(void* object) const { g_object_unref(object); }
};
struct ErrorDeleter {
  void operator()(GError* error) const { g_error_free(error); }
};
struct VariantDeleter {
  void operator()(GVariant* variant) const { g_variant_unref(variant); }
};

// A string that GLib allocated.
using String = std::unique_ptr<char, FreeDeleter>;
// One reference to a GObject.
template <typename T>
using Object = std::unique_ptr<T, ObjectDeleter>;
using ErrorPtr = std::unique_ptr<GError, ErrorDeleter>;
using Variant = std::unique_ptr<GVariant, VariantDeleter>;

}  // namespace tamberlo::glib

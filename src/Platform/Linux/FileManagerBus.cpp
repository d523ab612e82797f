#include "Platform/Linux/FileManagerBus.h"

#include <algorithm>

#include "Platform/Linux/GLibHandles.h"
#include "Platform/Linux/GLibLibrary.h"

namespace tamberlo::FileManagerBus {
namespace {

using Clock = std::chrono::steady_clock;

// How long a cancelled connection attempt is given to report back. GIO stops its socket and
// authentication reads on cancellation, so this is only a bound, not an expected wait.
constexpr std::chrono::milliseconds kCancelGrace{200};

// A private main context, this thread's default while it lives. The asynchronous connection reports
// its result to the thread's default context and the host runs no main loop: the context must be
// one that this call iterates and then throws away. Invariant: nothing is left queued in the global
// default context.
class PrivateContext {
 public:
  explicit PrivateContext(const glib::Functions& g) : g_(g), context_(g.main_context_new()) {
    g_.main_context_push_thread_default(context_);
  }
  ~PrivateContext() {
    // Whatever has completed is dispatched now, while the state it points to still lives.
    while (g_.main_context_iteration(context_, FALSE)) {
    }
    g_.main_context_pop_thread_default(context_);
    g_.main_context_unref(context_);
  }
  PrivateContext(const PrivateContext&) = delete;
  PrivateContext& operator=(const PrivateContext&) = delete;

  // Dispatches events until `done` turns true or `deadline` passes. True when done.
  bool runUntil(const bool& done, Clock::time_point deadline) {
    if (done) return true;
    auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (remaining <= 0) return false;
    bool expired = false;
    GSource* timer = g_.timeout_source_new(static_cast<guint>(remaining));
    g_.source_set_callback(
        timer,
        [](gpointer flag) -> gboolean {
          *static_cast<bool*>(flag) = true;
          return G_SOURCE_REMOVE;
        },
        &expired, nullptr);
    g_.source_attach(timer, context_);
    while (!done && !expired) g_.main_context_iteration(context_, TRUE);
    g_.source_destroy(timer);
    g_.source_unref(timer);
    return done;
  }

 private:
  const glib::Functions& g_;
  GMainContext* context_;
};

struct Connecting {
  const glib::Functions& g;
  bool done = false;
  GDBusConnection* connection = nullptr;  // owned once done; nothing when it failed
};

void onConnected(GObject*, GAsyncResult* result, gpointer data) {
  auto* state = static_cast<Connecting*>(data);
  state->connection = state->g.dbus_connection_new_for_address_finish(result, nullptr);
  state->done = true;
}

// A private connection to the session bus, made before `deadline`, or nothing. Never GIO's shared
// connection: that one may already be tied to a bus that went away, and it ends the process when
// its bus closes.
glib::Object<GDBusConnection> connectBefore(const glib::Functions& g, Clock::time_point deadline) {
  GError* rawError = nullptr;
  glib::String address(g.dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &rawError),
                       {&g});
  glib::ErrorPtr error(rawError, {&g});
  if (!address) return nullptr;

  Connecting state{g};
  {
    PrivateContext context(g);
    glib::Object<GCancellable> cancellable(g.cancellable_new(), {&g});
    g.dbus_connection_new_for_address(
        address.get(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, cancellable.get(), onConnected, &state);
    if (!context.runUntil(state.done, deadline)) {
      g.cancellable_cancel(cancellable.get());
      // Should the attempt never report back, its result can only arrive in the context that
      // is thrown away here, so it never touches `state`; the little it holds is given up.
      context.runUntil(state.done, Clock::now() + kCancelGrace);
    }
  }
  return glib::Object<GDBusConnection>(state.connection, {&g});
}

}  // namespace

Outcome showItem(const glib::Functions& g, const std::string& uri,
                 std::chrono::milliseconds budget) {
  Clock::time_point deadline = Clock::now() + budget;
  glib::Object<GDBusConnection> bus = connectBefore(g, deadline);
  if (!bus) return Outcome::kNotShown;

  auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  int timeoutMs = static_cast<int>(std::max<int64_t>(remaining.count(), 1));
  const char* uris[] = {uri.c_str(), nullptr};
  // A name that nobody owns and the bus cannot start is refused by the bus at once
  // (ServiceUnknown); a name that the bus can start is started and handed the call.
  GError* rawError = nullptr;
  glib::Variant reply(
      g.dbus_connection_call_sync(bus.get(), kBusName, kObjectPath, kInterface, "ShowItems",
                                  g.variant_new("(^ass)", uris, ""), nullptr,
                                  G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &rawError),
      {&g});
  glib::ErrorPtr error(rawError, {&g});
  if (reply) return Outcome::kShown;
  // G_IO_ERROR stands for a call of g_io_error_quark(), which goes through the table too.
  if (g.error_matches(error.get(), g.io_error_quark(), G_IO_ERROR_TIMED_OUT)) {
    return Outcome::kUnanswered;
  }
  return Outcome::kNotShown;
}

}  // namespace tamberlo::FileManagerBus

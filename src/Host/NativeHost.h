// The native-messaging loop: frames in, one reply frame per frame out, in order.
#pragma once

#include "Extension/SafariWebExtensionHandler.h"

namespace tamberlo {

// Deeper JSON than this is no message at all. Browsers send far less; the bound keeps a
// hostile frame from exhausting the stack.
inline constexpr std::size_t kMaxMessageDepth = 512;

// The size to which the host enlarges a pipe on its input, where the OS allows: on Linux, what
// an unprivileged process may ask for by default.
inline constexpr std::size_t kInputPipeBytes = 1 << 20;

// Serves native messages from `in` until end of input, one request per frame, in arrival order,
// one reply frame each on `out`. A frame that is not JSON is a request without a message; a
// frame over the incoming limit, a message that would take more memory parsed than its frame's
// budget (MessageArena) and a reply over the outgoing limit are answered with a short error. A
// pipe on `in` is first enlarged to kInputPipeBytes where the kernel allows. Returns the
// process's exit status: 0 at end of input or when `out` is closed.
int serveNativeMessages(int in, int out, SafariWebExtensionHandler& handler);

}  // namespace tamberlo

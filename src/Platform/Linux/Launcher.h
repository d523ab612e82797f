// The launcher: a process of its own that does the desktop's work for the host. It is forked
// before the host confines itself, so it keeps the rights that starting applications needs, and
// it is the only process that loads GIO or speaks D-Bus. Host and launcher talk over a
// sequenced-packet socket pair, one packet a request and one an answer.
#pragma once

#include <chrono>
#include <cstdint>

namespace tamberlo::launcher {

enum class Action : uint8_t { kOpen = 1, kReveal = 2 };

// A request: this header, then the absolute path, unterminated, filling the rest of the packet.
struct Request {
  uint32_t id;
  Action action;
};

// The answer to the request of the same id: for an open, the OpenOutcome's value; a reveal is
// answered kOpened once it has been handed on, and a request refused outright kNotOpened.
struct Answer {
  uint32_t id;
  uint8_t outcome;
};

// The longest path a request carries.
inline constexpr size_t kMaxPath = 4096;

// How long the host waits for an answer; after that it answers from what it has. A request's
// work is ended by the launcher once the longer of the two has passed.
inline constexpr std::chrono::milliseconds kOpenWait{2000};
inline constexpr std::chrono::milliseconds kRevealWait{500};

// Runs the launcher in the calling process, freshly forked, on its end of the socket pair, and ends
// the process once the host's end is closed and the last request's work is over. Standard input,
// output and error become /dev/null and every other descriptor is closed first: no application
// started from here inherits anything of the host's. Each request that names an existing direct
// child of the Downloads folder (as the launcher finds the folder itself) is done in a child
// process of its own, killed should it still run after kOpenWait; any other request, a missing file
// included, is answered no at once.
[[noreturn]] void serve(int socket);

}  // namespace tamberlo::launcher

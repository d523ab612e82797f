// The byte streams the host talks through: its standard input and output, which the browser
// connects to pipes, and the pipes of the tests' own peers. A stream is a descriptor of the C
// runtime (0, 1 and 2 are standard input, output and error).
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "Platform/Error.h"

namespace tamberlo {

inline constexpr int kStandardInput = 0;
inline constexpr int kStandardOutput = 1;
inline constexpr int kStandardError = 2;

// Reads what `stream` has, at most `into.size()` bytes, blocking until there is at least one or
// the input ends. Returns the count read: 0 only at the end of input (or for an empty `into`).
Result<std::size_t> readSome(int stream, std::span<char> into);

// Writes all of `bytes` to `stream`, continuing short writes. Fails when the stream is closed or
// the write fails; what was written by then stays written.
Status writeAll(int stream, std::string_view bytes);

// Makes standard input and output carry bytes unchanged (no line-end or end-of-file translation),
// then moves the reply stream off standard output: returns a stream of its own for the replies and
// points standard output at the null device. Promises: nothing else that writes to standard output
// (a library, a child) reaches the replies. Returns kStandardOutput itself, unchanged, when it
// cannot move it.
int takeReplyStream();

// Asks for `bytes` of buffer in the pipe on `stream`, where the OS lets a process set it. Any
// refusal (not a pipe, a lower limit, no such setting) leaves the pipe as it is.
void enlargeInputPipe(int stream, std::size_t bytes);

}  // namespace tamberlo

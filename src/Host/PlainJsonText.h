// Plain JSON text: the bytes that a JSON string holds exactly as they are written, which are
// printable ASCII other than the quote and the backslash. A run of them needs no unescaping and
// no UTF-8 check, so a parser can copy it straight into the string it builds. Base64, the data
// of every chunk, is nothing but such a run.
#pragma once

#include <cstddef>
#include <string_view>

#include "Encoding/Cpu.h"

namespace tamberlo {

// Copies the run of plain text at the start of `from` to `to` and returns the run's length: it ends
// at the first byte that is not plain, or with `from`. Bytes of `to` past the run may be
// overwritten. Takes the AVX2 path where the CPU has it; both paths copy the same runs. REQUIRES:
// room in `to` for all of `from`.
std::size_t copyPlainJsonText(std::string_view from, char* to);

// The two paths of copyPlainJsonText, open to tests to be held against each other. The AVX2 one
// exists only on x86 and needs a CPU for which cpuHasAvx2() is true.
std::size_t copyPlainJsonTextScalar(std::string_view from, char* to);
#if TAMBERLO_X86
std::size_t copyPlainJsonTextAvx2(std::string_view from, char* to);
#endif

}  // namespace tamberlo

#include "Host/PlainJsonText.h"

#include "Encoding/Cpu.h"

#if TAMBERLO_X86
#include <immintrin.h>
#endif

namespace tamberlo {

std::size_t copyPlainJsonTextScalar(std::string_view from, char* to) {
  std::size_t n = 0;
  for (; n < from.size(); ++n) {
    auto c = static_cast<unsigned char>(from[n]);
    if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
    to[n] = static_cast<char>(c);
  }
  return n;
}

#if TAMBERLO_X86

// 32 bytes a step, each stored whole before it is looked at: the stop, when it comes, is within
// the step, and the bytes stored past it fall in the room `to` has for all of `from`. Read as
// signed bytes, the control characters and the non-ASCII ones are exactly those below 0x20.
__attribute__((target("avx2"))) std::size_t copyPlainJsonTextAvx2(std::string_view from, char* to) {
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i backslash = _mm256_set1_epi8('\\');
  const __m256i firstPrintable = _mm256_set1_epi8(0x20);
  std::size_t n = 0;
  for (; from.size() - n >= 32; n += 32) {
    __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from.data() + n));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + n), bytes);
    __m256i stops = _mm256_or_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(bytes, quote), _mm256_cmpeq_epi8(bytes, backslash)),
        _mm256_cmpgt_epi8(firstPrintable, bytes));
    auto mask = static_cast<unsigned>(_mm256_movemask_epi8(stops));
    if (mask != 0) return n + static_cast<std::size_t>(__builtin_ctz(mask));
  }
  return n + copyPlainJsonTextScalar(from.substr(n), to + n);
}

#endif  // TAMBERLO_X86

std::size_t copyPlainJsonText(std::string_view from, char* to) {
#if TAMBERLO_X86
  if (cpuHasAvx2()) return copyPlainJsonTextAvx2(from, to);
#endif
  return copyPlainJsonTextScalar(from, to);
}

}  // namespace tamberlo

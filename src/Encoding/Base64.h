// Strict base64 (RFC 4648, standard alphabet): the length is a multiple of 4, padding is
// required, no whitespace, nothing after the padding. Anything else is refused whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

#include "Encoding/Cpu.h"

namespace tamberlo {

// The number of bytes that `textLength` characters of base64 decode to at most.
inline constexpr size_t maxDecodedSize(size_t textLength) { return textLength / 4 * 3; }

// Decodes `text` into `out`. REQUIRES: room in `out` for maxDecodedSize(text.size()) bytes; `out`
// may be the very bytes of `text` (decoding in place). Returns the number of bytes decoded, or
// nothing when `text` is not strict base64; `out` then holds garbage. Takes the widest vector path
// the CPU has (AVX-512, AVX2), else the scalar one; all accept and refuse exactly the same texts.
std::optional<size_t> decodeBase64(std::string_view text, uint8_t* out);

// The paths of decodeBase64, open to tests to be held against each other. Same contract as
// decodeBase64; each vector path exists only on x86 and needs a CPU for which its cpuHas...()
// is true.
std::optional<size_t> decodeBase64Scalar(std::string_view text, uint8_t* out);
#if TAMBERLO_X86
std::optional<size_t> decodeBase64Avx2(std::string_view text, uint8_t* out);
std::optional<size_t> decodeBase64Avx512(std::string_view text, uint8_t* out);
#endif

// True exactly when decodeBase64 accepts `text`. Reads the text once and writes nothing: a
// check before any decoding costs a fraction of the decoding itself.
bool isBase64(std::string_view text);
// The paths of isBase64, open to tests; isBase64Avx2 exists only on x86 and needs a CPU for
// which cpuHasAvx2() is true.
bool isBase64Scalar(std::string_view text);
#if TAMBERLO_X86
bool isBase64Avx2(std::string_view text);
#endif

// Decodes into a buffer it keeps and reuses, grown only when a text needs more: a run of chunks of
// similar size allocates once. The returned bytes stay valid until the next call.
class Base64Decoder {
 public:
  // The bytes of `text`, or nothing when decodeBase64 refuses it.
  std::optional<std::span<const uint8_t>> decode(std::string_view text);

 private:
  std::unique_ptr<uint8_t[]> buffer_;
  size_t capacity_ = 0;
};

}  // namespace tamberlo

#include "Encoding/Base64.h"

#include <array>

#if TAMBERLO_X86
#include <immintrin.h>
#endif

namespace tamberlo {
namespace {

constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> makeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
  }
  return table;
}

constexpr std::array<uint8_t, 256> kTable = makeTable();

#if TAMBERLO_X86
// Where a vector loop stopped, at `in` with its bytes up to `o`: the characters left, up to
// `end`, go to a narrower path, and the whole text's decoded length comes back.
std::optional<size_t> decodeRest(std::optional<size_t> (*narrower)(std::string_view, uint8_t*),
                                 const uint8_t* in, const uint8_t* end, uint8_t* o,
                                 const uint8_t* out) {
  std::string_view rest(reinterpret_cast<const char*>(in), static_cast<size_t>(end - in));
  std::optional<size_t> tail = narrower(rest, o);
  if (!tail) return std::nullopt;
  return static_cast<size_t>(o - out) + *tail;
}
#endif

#if TAMBERLO_X86
// Each low nibble's set of possible high nibbles, as bit masks; a character is in the alphabet
// exactly when its two lookups (low nibble here, high nibble in the next table) share no bit.
__attribute__((target("avx2"))) inline __m256i alphabetByLowNibble() {
  return _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A,
                          0x1B, 0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                          0x11, 0x11, 0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
}
__attribute__((target("avx2"))) inline __m256i alphabetByHighNibble() {
  return _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10,
                          0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08,
                          0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
}

// The 32 characters at `at`, each nonzero when it is outside the alphabet ("=" included).
__attribute__((target("avx2"))) inline __m256i foreignCharacters(const uint8_t* at) {
  const __m256i mask2F = _mm256_set1_epi8(0x2F);
  __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  __m256i lo = _mm256_shuffle_epi8(alphabetByLowNibble(), _mm256_and_si256(chars, mask2F));
  __m256i hi = _mm256_shuffle_epi8(alphabetByHighNibble(),
                                   _mm256_and_si256(_mm256_srli_epi32(chars, 4), mask2F));
  return _mm256_and_si256(lo, hi);
}
#endif

// `text` without the "=" or "==" that may close it.
std::string_view withoutPadding(std::string_view text) {
  for (int i = 0; i < 2 && !text.empty() && text.back() == '='; ++i) text.remove_suffix(1);
  return text;
}

bool allInAlphabet(std::string_view text) {
  uint8_t seen = 0;
  for (char c : text) seen |= kTable[static_cast<uint8_t>(c)];
  return (seen & 0xC0) == 0;
}

}  // namespace

bool isBase64Scalar(std::string_view text) {
  return text.size() % 4 == 0 && allInAlphabet(withoutPadding(text));
}

#if TAMBERLO_X86
// The alphabet test of the AVX2 decoder alone, four vectors per step with one branch.
__attribute__((target("avx2"))) bool isBase64Avx2(std::string_view text) {
  if (text.size() % 4 != 0) return false;
  std::string_view body = withoutPadding(text);
  const auto* in = reinterpret_cast<const uint8_t*>(body.data());
  const uint8_t* end = in + body.size();
  while (end - in >= 128) {
    __m256i any =
        _mm256_or_si256(_mm256_or_si256(foreignCharacters(in), foreignCharacters(in + 32)),
                        _mm256_or_si256(foreignCharacters(in + 64), foreignCharacters(in + 96)));
    if (!_mm256_testz_si256(any, any)) return false;
    in += 128;
  }
  for (; end - in >= 32; in += 32) {
    __m256i any = foreignCharacters(in);
    if (!_mm256_testz_si256(any, any)) return false;
  }
  return allInAlphabet(
      std::string_view(reinterpret_cast<const char*>(in), static_cast<size_t>(end - in)));
}

#endif

bool isBase64(std::string_view text) {
#if TAMBERLO_X86
  if (cpuHasAvx2()) return isBase64Avx2(text);
#endif
  return isBase64Scalar(text);
}

std::optional<size_t> decodeBase64Scalar(std::string_view text, uint8_t* out) {
  if (text.size() % 4 != 0) return std::nullopt;
  if (text.empty()) return 0;
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  size_t quads = text.size() / 4;
  // Every quad but the last is four alphabet characters; the last may end in "=" or "==".
  size_t full = quads - 1;
  uint8_t* o = out;
  for (size_t q = 0; q < full; ++q, in += 4, o += 3) {
    uint32_t a = kTable[in[0]], b = kTable[in[1]], c = kTable[in[2]], d = kTable[in[3]];
    if (((a | b | c | d) & 0xC0) != 0) return std::nullopt;
    uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
    o[0] = static_cast<uint8_t>(v >> 16);
    o[1] = static_cast<uint8_t>(v >> 8);
    o[2] = static_cast<uint8_t>(v);
  }
  uint32_t a = kTable[in[0]], b = kTable[in[1]];
  if (((a | b) & 0xC0) != 0) return std::nullopt;
  if (in[2] == '=') {
    if (in[3] != '=') return std::nullopt;
    o[0] = static_cast<uint8_t>((a << 2) | (b >> 4));
    return static_cast<size_t>(o - out) + 1;
  }
  uint32_t c = kTable[in[2]];
  if ((c & 0xC0) != 0) return std::nullopt;
  if (in[3] == '=') {
    uint32_t v = (a << 18) | (b << 12) | (c << 6);
    o[0] = static_cast<uint8_t>(v >> 16);
    o[1] = static_cast<uint8_t>(v >> 8);
    return static_cast<size_t>(o - out) + 2;
  }
  uint32_t d = kTable[in[3]];
  if ((d & 0xC0) != 0) return std::nullopt;
  uint32_t v = (a << 18) | (b << 12) | (c << 6) | d;
  o[0] = static_cast<uint8_t>(v >> 16);
  o[1] = static_cast<uint8_t>(v >> 8);
  o[2] = static_cast<uint8_t>(v);
  return static_cast<size_t>(o - out) + 3;
}

#if TAMBERLO_X86

// 32 characters become 24 bytes per step: the characters are checked and mapped to their 6-bit
// values with nibble lookups, then packed with two multiply-adds and a shuffle. A block holding
// anything outside the alphabet ("=" included) makes the whole text invalid, as in the scalar
// path, which decodes the rest, the final quad with its padding among it.
__attribute__((target("avx2"))) std::optional<size_t> decodeBase64Avx2(std::string_view text,
                                                                       uint8_t* out) {
  if (text.size() % 4 != 0) return std::nullopt;
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = in + text.size();
  uint8_t* o = out;
  const __m256i lutLo = alphabetByLowNibble();
  const __m256i lutHi = alphabetByHighNibble();
  // What to add to a character, by its high nibble ("/" by its own row), to get its value.
  const __m256i lutRoll =
      _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 19, 4, -65,
                       -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i mask2F = _mm256_set1_epi8(0x2F);
  const __m256i pack = _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2,
                                        1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);
  // A step stores 32 bytes of which 24 count. Keeping 48 characters ahead means the store stays
  // inside `out` (sized for three quarters of the text), never reaches characters not yet read
  // when decoding in place, and leaves the final quad to the scalar path.
  while (end - in >= 48) {
    __m256i chars = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    __m256i hiNibbles = _mm256_and_si256(_mm256_srli_epi32(chars, 4), mask2F);
    __m256i loNibbles = _mm256_and_si256(chars, mask2F);
    __m256i lo = _mm256_shuffle_epi8(lutLo, loNibbles);
    __m256i hi = _mm256_shuffle_epi8(lutHi, hiNibbles);
    if (!_mm256_testz_si256(lo, hi)) return std::nullopt;
    __m256i isSlash = _mm256_cmpeq_epi8(chars, mask2F);
    __m256i roll = _mm256_shuffle_epi8(lutRoll, _mm256_add_epi8(isSlash, hiNibbles));
    __m256i values = _mm256_add_epi8(chars, roll);
    __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
    __m256i words = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
    __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(words, pack), lanes);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), bytes);
    in += 32;
    o += 24;
  }
  return decodeRest(decodeBase64Scalar, in, end, o, out);
}

// 64 characters become 48 bytes per step. One two-register byte permute maps every character
// to its 6-bit value, or to a value with the top bit set when it is outside the alphabet; a
// character that has the top bit set itself is caught by the same test. The values are packed
// as in the AVX2 path and gathered into place with one more permute. Only the 48 bytes that
// count are stored, so the step never writes past what its own 64 characters decode to, which
// keeps it inside `out` and behind the characters still to read when decoding in place. The
// last 64 characters or fewer go to the AVX2 path, which leaves the final quad to the scalar one.
__attribute__((target("avx512f,avx512bw,avx512vbmi,avx2"))) std::optional<size_t>
decodeBase64Avx512(std::string_view text, uint8_t* out) {
  if (text.size() % 4 != 0) return std::nullopt;
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = in + text.size();
  uint8_t* o = out;
  alignas(64) static constexpr std::array<uint8_t, 128> kValues = [] {
    std::array<uint8_t, 128> values{};
    for (size_t c = 0; c < values.size(); ++c) values[c] = kTable[c] == kInvalid ? 0x80 : kTable[c];
    return values;
  }();
  const __m512i valuesLo = _mm512_load_si512(kValues.data());
  const __m512i valuesHi = _mm512_load_si512(kValues.data() + 64);
  // Each dword holds its three bytes highest first; they go out in that order, 16 dwords' worth.
  alignas(64) static constexpr std::array<uint8_t, 64> kGather = [] {
    std::array<uint8_t, 64> gather{};
    for (uint8_t j = 0; j < 16; ++j) {
      gather[3 * j] = static_cast<uint8_t>(4 * j + 2);
      gather[3 * j + 1] = static_cast<uint8_t>(4 * j + 1);
      gather[3 * j + 2] = static_cast<uint8_t>(4 * j);
    }
    return gather;
  }();
  const __m512i gather = _mm512_load_si512(kGather.data());
  const __m512i pairWeights = _mm512_set1_epi32(0x01400140);
  const __m512i quadWeights = _mm512_set1_epi32(0x00011000);
  constexpr __mmask64 kStored = (__mmask64{1} << 48) - 1;
  while (end - in > 64) {
    __m512i chars = _mm512_loadu_si512(in);
    __m512i values = _mm512_permutex2var_epi8(valuesLo, chars, valuesHi);
    if (_mm512_movepi8_mask(_mm512_or_si512(chars, values)) != 0) return std::nullopt;
    __m512i pairs = _mm512_maddubs_epi16(values, pairWeights);
    __m512i words = _mm512_madd_epi16(pairs, quadWeights);
    // The zero-masked form: the plain one leaves GCC 12 warning of an undefined operand.
    __m512i bytes = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, gather, words);
    _mm512_mask_storeu_epi8(o, kStored, bytes);
    in += 64;
    o += 48;
  }
  return decodeRest(decodeBase64Avx2, in, end, o, out);
}

#endif  // TAMBERLO_X86

std::optional<size_t> decodeBase64(std::string_view text, uint8_t* out) {
#if TAMBERLO_X86
  if (cpuHasAvx512()) return decodeBase64Avx512(text, out);
  if (cpuHasAvx2()) return decodeBase64Avx2(text, out);
#endif
  return decodeBase64Scalar(text, out);
}

std::optional<std::span<const uint8_t>> Base64Decoder::decode(std::string_view text) {
  size_t needed = maxDecodedSize(text.size());
  if (needed > capacity_) {
    buffer_ = std::make_unique_for_overwrite<uint8_t[]>(needed);
    capacity_ = needed;
  }
  auto size = decodeBase64(text, buffer_.get());
  if (!size) return std::nullopt;
  return std::span<const uint8_t>(buffer_.get(), *size);
}

}  // namespace tamberlo

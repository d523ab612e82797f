#include "Platform/Base64.h"

#include <array>

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

}  // namespace

std::optional<size_t> decodeBase64(std::string_view text, uint8_t* out) {
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

// The strict base64 decoder against a plain one written from the rule: the same texts are
// refused, and the accepted ones decode to the same bytes, whether into a fresh buffer, in
// place, or through the reused buffer of Base64Decoder.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Encoding/Base64.h"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "base64 differs from the reference: %s\n", what);
  std::abort();
}

// Four characters at a time; "=" only in the last group, only in its last one or two places,
// and nothing but "=" after the first one.
std::optional<std::string> referenceDecode(std::string_view text) {
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  for (size_t group = 0; group < text.size(); group += 4) {
    bool last = group + 4 == text.size();
    uint32_t bits = 0;
    int padding = 0;
    for (size_t i = 0; i < 4; ++i) {
      char c = text[group + i];
      if (c == '=') {
        if (!last || i < 2) return std::nullopt;
        ++padding;
        bits <<= 6;
        continue;
      }
      if (padding > 0) return std::nullopt;
      size_t value = kAlphabet.find(c);
      if (value == std::string_view::npos) return std::nullopt;
      bits = (bits << 6) | static_cast<uint32_t>(value);
    }
    out += static_cast<char>(bits >> 16);
    if (padding < 2) out += static_cast<char>((bits >> 8) & 0xFF);
    if (padding < 1) out += static_cast<char>(bits & 0xFF);
  }
  return out;
}

tamberlo::Base64Decoder& sharedDecoder() {
  static tamberlo::Base64Decoder decoder;
  return decoder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::optional<std::string> expected = referenceDecode(text);

  std::vector<uint8_t> out(tamberlo::maxDecodedSize(size));
  std::optional<size_t> decoded = tamberlo::decodeBase64(text, out.data());
  if (decoded.has_value() != expected.has_value()) fail("accepted differently");
  if (decoded) {
    if (*decoded > out.size()) fail("decoded past the buffer");
    if (std::string_view(reinterpret_cast<const char*>(out.data()), *decoded) != *expected) {
      fail("decoded to other bytes");
    }
  }

  std::string inPlace(text);
  std::optional<size_t> again =
      tamberlo::decodeBase64(inPlace, reinterpret_cast<uint8_t*>(inPlace.data()));
  if (again != decoded) fail("in place, accepted differently");
  if (again && std::string_view(inPlace.data(), *again) != *expected) {
    fail("in place, decoded to other bytes");
  }

  // The kept buffer carries nothing over from the previous input, whatever its size was.
  auto kept = sharedDecoder().decode(text);
  if (kept.has_value() != expected.has_value()) fail("through the decoder, accepted differently");
  if (kept &&
      std::string_view(reinterpret_cast<const char*>(kept->data()), kept->size()) != *expected) {
    fail("through the decoder, decoded to other bytes");
  }
  return 0;
}

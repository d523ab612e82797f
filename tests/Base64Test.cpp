// The strict base64 decoder: each of its paths against known texts, against the scalar one on
// random and damaged texts, and decoding in place.
#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "Encoding/Base64.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

using Decode = std::function<std::optional<size_t>(std::string_view, uint8_t*)>;

struct Path {
  const char* name;
  Decode decode;
};

// The paths this CPU can run; the scalar one always.
std::vector<Path> paths() {
  std::vector<Path> result = {{"scalar", decodeBase64Scalar}, {"dispatched", decodeBase64}};
#if TAMBERLO_X86
  if (cpuHasAvx2()) result.push_back({"avx2", decodeBase64Avx2});
  if (cpuHasAvx512()) result.push_back({"avx512", decodeBase64Avx512});
#endif
  return result;
}

using Check = std::function<bool(std::string_view)>;

// The paths of the check alone (no decoding) that this CPU can run.
std::vector<std::pair<const char*, Check>> checks() {
  std::vector<std::pair<const char*, Check>> result = {{"scalar check", isBase64Scalar},
                                                       {"dispatched check", isBase64}};
#if TAMBERLO_X86
  if (cpuHasAvx2()) result.emplace_back("avx2 check", isBase64Avx2);
#endif
  return result;
}

// The decoded bytes as text, or nothing when refused.
std::optional<std::string> decoded(const Decode& decode, std::string_view text) {
  std::string out(maxDecodedSize(text.size()), '\0');
  std::optional<size_t> n = decode(text, reinterpret_cast<uint8_t*>(out.data()));
  if (!n) return std::nullopt;
  out.resize(*n);
  return out;
}

std::string randomBytes(std::mt19937& rng, size_t n) {
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  return bytes;
}

TEST(Base64Test, KnownTexts) {
  struct Case {
    std::string_view text;
    std::optional<std::string> bytes;
  };
  // Long enough texts to pass through whole 64- and 32-character blocks, with the padded quad
  // after.
  std::string longPlain(192, 'A');
  std::string longPadded = std::string(188, '/') + "+/8=";
  const Case cases[] = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYg==", "foob"},
      {"Zm9vYmE=", "fooba"},
      {"Zm9vYmFy", "foobar"},
      {longPlain, std::string(144, '\0')},
      {longPadded, std::string(141, '\xff') + "\xfb\xff"},
      // Refused: length, padding, whitespace, other alphabets, anything after the padding.
      {"Zg", std::nullopt},
      {"Zg=", std::nullopt},
      {"Zm9", std::nullopt},
      {"Z===", std::nullopt},
      {"====", std::nullopt},
      {"Zg=a", std::nullopt},
      {"Zg==Zg==", std::nullopt},
      {"Zm9v\n", std::nullopt},
      {"Zm 9v", std::nullopt},
      {"Zm9v ", std::nullopt},
      {"Zm-_", std::nullopt},
      {"Zm9vYmFy====", std::nullopt},
      {"+/+/", "\xfb\xff\xbf"},
      {"=Zg=", std::nullopt},  // padding first
      {"Zm=v", std::nullopt},  // padding inside a quad
      {"Zm9\xC3", std::nullopt},
  };
  for (const Path& path : paths()) {
    for (const Case& c : cases) {
      EXPECT_EQ(decoded(path.decode, c.text), c.bytes) << path.name << ": " << c.text;
    }
  }
  for (const auto& [name, check] : checks()) {
    for (const Case& c : cases) EXPECT_EQ(check(c.text), c.bytes.has_value()) << name << c.text;
  }
  // The decoder that chunks reuse gives the same answers, one text after the other.
  Base64Decoder decoder;
  for (const Case& c : cases) {
    std::optional<std::span<const uint8_t>> bytes = decoder.decode(c.text);
    std::optional<std::string> text;
    if (bytes) text.emplace(bytes->begin(), bytes->end());
    EXPECT_EQ(text, c.bytes) << "reused decoder: " << c.text;
  }
}

TEST(Base64Test, RoundTripsRandomBytesOfEveryLengthAndInPlace) {
  std::mt19937 rng(7);
  std::vector<size_t> lengths;
  for (size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  lengths.push_back(65536);
  lengths.push_back(1000003);
  for (const Path& path : paths()) {
    for (size_t n : lengths) {
      std::string bytes = randomBytes(rng, n);
      std::string text = testing::base64(bytes);
      EXPECT_EQ(decoded(path.decode, text), bytes) << path.name << " length " << n;
      // In place: the text's own bytes become the decoded ones.
      std::optional<size_t> m = path.decode(text, reinterpret_cast<uint8_t*>(text.data()));
      ASSERT_EQ(m, n) << path.name;
      EXPECT_EQ(std::string_view(text).substr(0, n), bytes) << path.name << " in place " << n;
    }
  }
}

TEST(Base64Test, EveryForeignByteAtEveryPlaceIsRefused) {
  std::mt19937 rng(11);
  // 256 characters: three 64-character blocks, a 32-character one and the tail, so that a bad
  // byte lands in each lane of every path.
  std::string good = testing::base64(randomBytes(rng, 192));
  std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (const Path& path : paths()) {
    for (int b = 0; b < 256; ++b) {
      char bad = static_cast<char>(b);
      if (alphabet.find(bad) != std::string_view::npos) continue;
      for (size_t at = 0; at < good.size(); ++at) {
        if (bad == '=' && at == good.size() - 1) continue;  // a padded last quad, still valid
        std::string text = good;
        text[at] = bad;
        ASSERT_EQ(decoded(path.decode, text), std::nullopt)
            << path.name << ": byte " << b << " at " << at;
        for (const auto& [name, check] : checks()) {
          ASSERT_FALSE(check(text)) << name << ": byte " << b << " at " << at;
        }
      }
    }
  }
}

TEST(Base64Test, PathsAgreeOnDamagedTexts) {
  std::vector<Path> vectorPaths = paths();
  vectorPaths.erase(vectorPaths.begin());  // the scalar one, which the others are held against
  std::mt19937 rng(13);
  std::string_view sprinkles = "=\n -_\x80\xff";
  for (int round = 0; round < 20000; ++round) {
    std::string text = testing::base64(randomBytes(rng, rng() % 300));
    // Damage some texts a little, by a byte or two, or by cutting them short.
    switch (rng() % 4) {
      case 0:
        break;
      case 1:
        if (!text.empty()) text[rng() % text.size()] = sprinkles[rng() % sprinkles.size()];
        break;
      case 2:
        if (!text.empty()) text.resize(rng() % text.size());
        break;
      case 3:
        if (text.size() > 4) text[text.size() - 1 - rng() % 4] = '=';
        break;
    }
    std::optional<std::string> expected = decoded(decodeBase64Scalar, text);
    for (const Path& path : vectorPaths) {
      EXPECT_EQ(decoded(path.decode, text), expected) << path.name << ": " << text;
    }
    for (const auto& [name, check] : checks()) {
      EXPECT_EQ(check(text), expected.has_value()) << name << ": " << text;
    }
  }
}

}  // namespace
}  // namespace tamberlo

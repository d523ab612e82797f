// Copying the plain text of a JSON string: each path stops exactly at the first byte that a
// JSON string cannot hold as written, wherever it falls, and copies everything before it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Encoding/Cpu.h"
#include "Host/PlainJsonText.h"

namespace tamberlo {
namespace {

using Copy = std::size_t (*)(std::string_view, char*);

struct Path {
  const char* name;
  Copy copy;
};

std::vector<Path> paths() {
  std::vector<Path> result = {{"scalar", copyPlainJsonTextScalar},
                              {"dispatched", copyPlainJsonText}};
#if TAMBERLO_X86
  if (cpuHasAvx2()) result.push_back({"avx2", copyPlainJsonTextAvx2});
#endif
  return result;
}

bool isPlain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

TEST(PlainJsonTextTest, StopsAtTheFirstByteThatIsNotPlainWhereverItFalls) {
  // 100 bytes: three 32-byte steps and a tail, so that the stop lands in every lane of each.
  std::string text;
  for (int i = 0; i < 100; ++i) text += static_cast<char>(0x20 + (i * 7) % 0x60);
  text[3] = '!';  // the printable neighbours of the quote and the backslash are plain
  text[4] = '#';
  text[5] = '[';
  text[6] = ']';
  text[7] = '\x7f';
  for (const Path& path : paths()) {
    for (int b = 0; b < 256; ++b) {
      for (size_t at = 0; at <= text.size(); ++at) {
        std::string from = text;
        // Quotes and backslashes already in the text stop the copy earlier; they are replaced
        // by a plain byte unless they are the byte under test.
        for (char& c : from) {
          if (!isPlain(c)) c = 'x';
        }
        if (at < from.size()) from[at] = static_cast<char>(b);
        size_t expected =
            (at < from.size() && !isPlain(static_cast<unsigned char>(b))) ? at : from.size();
        std::string to(from.size(), '\0');
        ASSERT_EQ(path.copy(from, to.data()), expected)
            << path.name << ": byte " << b << " at " << at;
        ASSERT_EQ(to.substr(0, expected), from.substr(0, expected)) << path.name;
      }
    }
  }
}

TEST(PlainJsonTextTest, EmptyAndShortTexts) {
  struct Case {
    std::string_view from;
    size_t run;
  };
  const Case cases[] = {{"", 0}, {"a", 1}, {"\"", 0}, {"ab\\n", 2}, {"AAAA=", 5}, {"\n", 0}};
  for (const Path& path : paths()) {
    for (const Case& c : cases) {
      std::string to(c.from.size(), '\0');
      EXPECT_EQ(path.copy(c.from, to.data()), c.run) << path.name << ": " << c.from;
    }
  }
}

}  // namespace
}  // namespace tamberlo

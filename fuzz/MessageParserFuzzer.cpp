// Parsing a message piece by piece against the library's parser on the whole text: the same
// texts are refused (a number no double can hold included), and the accepted ones give the same
// value with the same key order. The first byte sets the size of the pieces, so that pieces
// fall everywhere: inside keys, escapes, numbers and multi-byte characters. Parsing with the
// pieces read into the room the parser offers for them, as the host does, gives the same too.
#include <boost/json.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "Host/MessageParser.h"
#include "Host/NativeHost.h"
#include "support/ParseInPlace.h"
#include "support/SameMessage.h"

namespace {

namespace json = boost::json;

std::optional<json::value> inPieces(std::string_view text, size_t pieceSize) {
  static tamberlo::MessageParser parser(tamberlo::kMaxMessageDepth);
  parser.start({}, text.size());
  for (size_t at = 0; at < text.size(); at += pieceSize) parser.write(text.substr(at, pieceSize));
  return parser.finish();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t pieceSize = 1 + data[0];
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::optional<json::value> pieces = inPieces(text, pieceSize);
  // However the pieces fall, the same message, and the one the library reads.
  tamberlo::testing::LibraryReading expected =
      tamberlo::testing::libraryReading(text, tamberlo::kMaxMessageDepth);
  if (!expected.infinite && !tamberlo::testing::sameMessage(pieces, expected.value)) {
    std::fprintf(stderr, "message parser differs from the whole-text parser\n");
    std::abort();
  }
  if (pieces != inPieces(text, text.size() + 1)) {
    std::fprintf(stderr, "message parser differs with the pieces\n");
    std::abort();
  }
  std::optional<std::string> serialized;
  if (pieces) serialized = json::serialize(*pieces);
  static tamberlo::MessageParser parser(tamberlo::kMaxMessageDepth);
  if (tamberlo::testing::parsedInPlace(parser, text, pieceSize) != serialized) {
    std::fprintf(stderr, "message parser differs when read in place\n");
    std::abort();
  }
  return 0;
}

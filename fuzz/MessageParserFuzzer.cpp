// Parsing a message piece by piece against the library's parser on the whole text: the same
// texts are refused (a number no double can hold included), and the accepted ones give the same
// value with the same key order. The first byte sets the size of the pieces, so that pieces
// fall everywhere: inside keys, escapes, numbers and multi-byte characters.
#include <boost/json.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "Host/MessageParser.h"
#include "Host/NativeHost.h"
#include "support/SameMessage.h"

namespace {

namespace json = boost::json;

bool allFinite(const json::value& value) {
  if (const double* d = value.if_double()) return std::isfinite(*d);
  if (const json::array* array = value.if_array()) {
    for (const json::value& element : *array) {
      if (!allFinite(element)) return false;
    }
  }
  if (const json::object* object = value.if_object()) {
    for (const auto& entry : *object) {
      if (!allFinite(entry.value())) return false;
    }
  }
  return true;
}

// The library's reading of the whole text: nothing for text that is not one JSON value, and
// no verdict (false) for text with a number it reads as infinite, since it also does so for
// numbers that are not ("0e400").
std::pair<bool, std::optional<json::value>> reference(std::string_view text) {
  json::parse_options options;
  options.max_depth = tamberlo::kMaxMessageDepth;
  boost::system::error_code ec;
  json::value value = json::parse(text, ec, {}, options);
  if (ec) return {true, std::nullopt};
  if (!allFinite(value)) return {false, std::nullopt};
  return {true, std::move(value)};
}

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
  auto [known, expected] = reference(text);
  if (known && !tamberlo::testing::sameMessage(pieces, expected)) {
    std::fprintf(stderr, "message parser differs from the whole-text parser\n");
    std::abort();
  }
  if (pieces != inPieces(text, text.size() + 1)) {
    std::fprintf(stderr, "message parser differs with the pieces\n");
    std::abort();
  }
  return 0;
}

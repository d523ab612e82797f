// Parsing a message piece by piece must give exactly what the library's own parser gives for
// the whole text (the same values, the same key order, the same last-of-duplicates), however the
// pieces fall, and a long string must fit in the memory reserved for its frame.
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cmath>
#include <memory>

#include "Host/MessageParser.h"
#include "Host/NativeHost.h"
#include "support/ParseInPlace.h"
#include "support/SameMessage.h"

namespace tamberlo {
namespace {

namespace json = boost::json;

std::optional<json::value> reference(std::string_view text) {
  return testing::libraryReading(text, kMaxMessageDepth).value;
}

std::optional<json::value> inPieces(MessageParser& parser, std::string_view text, size_t pieceSize,
                                    json::storage_ptr storage = {}) {
  parser.start(std::move(storage), text.size());
  for (size_t at = 0; at < text.size(); at += pieceSize) parser.write(text.substr(at, pieceSize));
  return parser.finish();
}

std::optional<std::string> serialized(const std::optional<json::value>& value) {
  if (!value) return std::nullopt;
  return json::serialize(*value);
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(MessageParserTest, AgreesWithTheWholeTextParserHoweverThePiecesFall) {
  const std::string longText(70 * 1024, 'Q');
  // Longer than what the library reads at once, so that the rest of such a string is copied
  // past it, up to the byte after.
  const std::string plain(3000, 'x');
  const std::vector<std::string> texts = {
      R"({"type":"ping","n":1})",
      R"({"type":"file.write.chunk","part":"a.part","offset":0,"data":"aGVsbG8="})",
      R"({"a":1,"b":2,"a":3})",  // the last value, in the first place
      R"({"a":{"x":[1,2,{"y":null}]},"a":{"z":true},"c":[]})",
      R"(["caf\u00e9","\ud83d\ude00","tab\tquote\"slash\/back\\",""])",
      R"(  {"spaced" : [ 1 , -2 , 3.5 , -0 , 1e-7 ] }  )",
      "18446744073709551615",
      "-9223372036854775808",
      "1.7976931348623157e308",
      // Rounded differently by the library when it cannot see where the number ends.
      "55.55555555555555555555555555555",
      "[1,55.55555555555555555555555555555,{\"n\":-0.1000000000000000055511151231257827}]",
      "\"" + longText + "\"",
      R"({"data":")" + longText + R"(\n)" + longText + R"("})",
      // The long string goes, and what follows it is parsed from the room it had.
      R"({"data":")" + longText + R"(","data":"caf\u00e9","n":[1.5,"\u00e9\n"]})",
      "{\"k\u00e9y\":\"v\u00e4lue\"}",
      nested(kMaxMessageDepth),
      "\"" + plain + "\xc3\xa9" + plain + "\"",
      "\"" + plain + "\x7f" + plain + "\"",
      "\"" + plain + "\\\"" + plain + "\\u00e9\"",
      "{\"" + plain + "\":\"" + plain + "\",\"" + plain + "\":[\"" + plain + "\"]}",
      "[\"" + plain + "\",\"" + plain + "\",\"" + plain + "\"]",
      // Not messages.
      "\"" + plain + "\x01" + plain + "\"",
      "\"" + plain + "\xff" + plain + "\"",
      "\"" + plain + "\xc3\"",
      "\"" + plain + "\\q\"",
      "\"" + plain + "\"" + plain,
      "",
      "   ",
      "{not json",
      "1 2",
      "{}x",
      "[1,2",
      "\"\xff\"",
      "\"\xed\xa0\x80\"",
      "/*comment*/1",
      "1e400",
      "[-1e999]",
      nested(kMaxMessageDepth + 1),
      "\"" + longText,
  };
  MessageParser parser(kMaxMessageDepth);
  for (const std::string& text : texts) {
    std::optional<json::value> expected = reference(text);
    std::optional<std::string> whole = serialized(inPieces(parser, text, text.size() + 1));
    for (size_t pieceSize :
         {size_t{1}, size_t{7}, size_t{1000}, size_t{4096}, size_t{16 * 1024 + 3}}) {
      std::optional<json::value> pieces = inPieces(parser, text, pieceSize);
      EXPECT_TRUE(testing::sameMessage(pieces, expected))
          << text.substr(0, 60) << " in pieces of " << pieceSize;
      EXPECT_EQ(serialized(pieces), whole) << text.substr(0, 60) << " in pieces of " << pieceSize;
      EXPECT_EQ(testing::parsedInPlace(parser, text, pieceSize), whole)
          << text.substr(0, 60) << " in place, in pieces of " << pieceSize;
    }
  }
}

TEST(MessageParserTest, DoublesAreCorrectlyRoundedWhereverThePiecesFall) {
  // The nearest doubles to these texts, as the compiler (and any correct reader, a browser's
  // included) finds them.
#define TEXT_AND_NEAREST(number) \
  { #number, number }
  const std::pair<std::string, double> cases[] = {
      TEXT_AND_NEAREST(55.55555555555555555555555555555),
      TEXT_AND_NEAREST(5555555555.55555555),
      TEXT_AND_NEAREST(-0.1000000000000000055511151231257827),
      TEXT_AND_NEAREST(2.2250738585072011e-308),
      TEXT_AND_NEAREST(123456789012345678901234567890.0),
      TEXT_AND_NEAREST(9007199254740993.0),
  };
#undef TEXT_AND_NEAREST
  MessageParser parser(kMaxMessageDepth);
  for (const auto& [number, nearest] : cases) {
    std::string text = "[" + number + "," + number + "]";
    for (size_t pieceSize = 1; pieceSize <= text.size(); ++pieceSize) {
      std::optional<json::value> value = inPieces(parser, text, pieceSize);
      ASSERT_TRUE(value) << text;
      EXPECT_EQ(value->at(0).as_double(), nearest) << text << " in pieces of " << pieceSize;
      EXPECT_EQ(value->at(1).as_double(), nearest) << text << " in pieces of " << pieceSize;
    }
  }
}

TEST(MessageParserTest, ALongStringTakesNoMoreThanItsFrame) {
  // A chunk of 4 MiB of text arriving a pipe's worth at a time must not regrow: the frame's own
  // size plus a little room is all the arena has, and there is nothing behind it.
  std::string data(4 << 20, 'A');
  std::string text =
      R"({"type":"file.write.chunk","part":"v.part","offset":0,"data":")" + data + R"("})";
  std::vector<unsigned char> block(text.size() + 4096);
  json::monotonic_resource arena(block.data(), block.size(), json::get_null_resource());
  MessageParser parser(kMaxMessageDepth);
  for (size_t pieceSize : {size_t{64 * 1024}, text.size()}) {
    std::optional<std::string> parsed;
    EXPECT_NO_THROW(parsed = serialized(inPieces(parser, text, pieceSize, &arena)));
    EXPECT_EQ(parsed, json::serialize(json::parse(text))) << "pieces of " << pieceSize;
    arena.release();
  }
}

TEST(MessageParserTest, ABrokenMessageLeavesNothingForTheNext) {
  MessageParser parser(kMaxMessageDepth);
  EXPECT_EQ(inPieces(parser, R"({"a":[1,2,{"b":)", 3), std::nullopt);
  EXPECT_EQ(serialized(inPieces(parser, R"({"c":3})", 2)), R"({"c":3})");
  // Input cut short without finish: the next start drops it.
  parser.start({}, 10);
  parser.write(R"({"d":[)");
  EXPECT_EQ(serialized(inPieces(parser, "[true]", 1)), "[true]");
}

}  // namespace
}  // namespace tamberlo

// Parsing a message as the frame reader feeds the parser a long string: each piece is put where
// the parser offers room for it (as a read would put it) and parsed from there, in the host's
// own message storage. Shared by the
// message parser's test and its fuzz target.
#pragma once

#include <boost/json.hpp>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Host/MessageArena.h"
#include "Host/MessageParser.h"

namespace tamberlo::testing {

// The message read from `text` in pieces of `pieceSize`, serialized; nothing when it is none.
inline std::optional<std::string> parsedInPlace(MessageParser& parser, std::string_view text,
                                                std::size_t pieceSize) {
  MessageArena arena;
  parser.start(arena.prepare(text.size()), text.size());
  for (std::size_t at = 0; at < text.size();) {
    std::string_view piece = text.substr(at, pieceSize);
    if (std::span<char> place = parser.placeForNext(); !place.empty()) {
      piece = piece.substr(0, place.size());
      std::memcpy(place.data(), piece.data(), piece.size());
      piece = {place.data(), piece.size()};
    }
    parser.write(piece);
    at += piece.size();
  }
  std::optional<boost::json::value> message = parser.finish();
  if (!message) return std::nullopt;
  return boost::json::serialize(*message);
}

}  // namespace tamberlo::testing

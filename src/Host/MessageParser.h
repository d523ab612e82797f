// Parsing a message as its frame arrives. Each piece of a frame is parsed while it is still in the
// processor's cache, and a long string (the data of a chunk) is copied once, from the piece
// straight into memory reserved for the whole of it. Hot-path invariant: a 16 MiB chunk is read
// from main memory once here, not three times (scan, copy, regrow).
#pragma once

#include <boost/json/storage_ptr.hpp>
#include <boost/json/value.hpp>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace tamberlo {

class MessageParser {
 public:
  // Deeper JSON than `maxDepth` is no message at all.
  explicit MessageParser(std::size_t maxDepth);
  ~MessageParser();
  MessageParser(const MessageParser&) = delete;
  MessageParser& operator=(const MessageParser&) = delete;

  // Begins a message of `length` bytes whose values are made in `storage`. Whatever was left of
  // an earlier message is dropped first.
  void start(boost::json::storage_ptr storage, std::size_t length);

  // Parses the next bytes of the message, in order. Bytes after an error are not looked at; a
  // failure to allocate is such an error.
  void write(std::string_view piece);

  // Room at the end of the long string being parsed, into which the next bytes of the message
  // may be read before they are passed to write(): its plain text is then already where it
  // belongs and is only looked through. Empty unless the parser is inside such a string and
  // its storage never frees memory before the message is gone (the bytes after the string,
  // also read there, are parsed from there even if a later duplicate key drops the string).
  std::span<char> placeForNext();

  // The message, once all its bytes were written; nothing when they are not exactly one JSON
  // value in UTF-8 (a number beyond the range of a double included: it has no JSON spelling,
  // so echoing it would make a reply no browser can read). The parser is then empty.
  std::optional<boost::json::value> finish();

  // True when the last message finished gave nothing because its storage (or the heap) refused
  // memory for it, as opposed to its not being JSON.
  bool outgrewStorage() const;

 private:
  class Builder;
  struct Impl;
  void parse(std::string_view piece);
  void fail();
  void outgrow();
  std::unique_ptr<Impl> impl_;
};

}  // namespace tamberlo

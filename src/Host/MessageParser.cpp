#include "Host/MessageParser.h"

#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/value.hpp>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "Host/PlainJsonText.h"

namespace tamberlo {
namespace json = boost::json;
using boost::system::error_code;

namespace {
// The parser reads a number beyond the range of a double ("1e400") as infinity, which has no
// JSON spelling: echoed back, it would make a reply that no browser can parse. A message that
// holds one is no message at all.

bool allFinite(const json::value& root) {
  std::vector<const json::value*> pending{&root};
  while (!pending.empty()) {
    const json::value* value = pending.back();
    pending.pop_back();
    if (const double* d = value->if_double(); d && !std::isfinite(*d)) return false;
    if (const json::array* array = value->if_array()) {
      for (const json::value& element : *array) pending.push_back(&element);
    } else if (const json::object* object = value->if_object()) {
      for (const auto& entry : *object) pending.push_back(&entry.value());
    }
  }
  return true;
}
}  // namespace

// Builds the value as the parser reports it. Objects keep the last of duplicate keys in the place
// of the first, as the library's own parser does: an echoed message reads the same whichever parser
// built it.
class MessageParser::Builder {
 public:
  static constexpr std::size_t max_object_size = json::object::max_size();
  static constexpr std::size_t max_array_size = json::array::max_size();
  static constexpr std::size_t max_key_size = json::string::max_size();
  static constexpr std::size_t max_string_size = json::string::max_size();

  void start(json::storage_ptr storage) {
    clear();
    storage_ = std::move(storage);
    // Emplaced, not assigned: a JSON string keeps the storage it was made with.
    text_.emplace(storage_);
    reservedLong_ = false;
    partEnd_ = stepEnd_ = nullptr;
  }

  // The library is about to parse `step`, with `unparsed` bytes of the message left from its
  // start on.
  void beginStep(std::string_view step, std::size_t unparsed) {
    unparsed_ = unparsed;
    stepEnd_ = step.data() + step.size();
    partEnd_ = nullptr;
  }

  // Whether the library stopped inside a string value, having handed over every byte of it
  // that it read as a span of the input that ends where the step does. It then holds nothing
  // back (an escape or a split character would have gone through its own buffer, or be kept
  // there), and the text that follows may be added by appendPlain() without the library
  // seeing it, up to a byte that is not plain.
  bool inPlainStringAtStepEnd() const { return stepEnd_ != nullptr && partEnd_ == stepEnd_; }

  // Adds the plain text at the start of `piece`, the first of `unparsed` bytes of the message
  // left, to the string being parsed; returns how many bytes that was. Copying and looking for
  // the end are one pass.
  std::size_t appendPlain(std::string_view piece, std::size_t unparsed) {
    unparsed_ = unparsed;
    std::size_t done = 0;
    while (done < piece.size()) {
      std::size_t room = text_->capacity() - text_->size();
      // Text read in place has room already: it must not move from under its own bytes.
      if (room < std::min(kPlainStep, piece.size() - done)) {
        reserveFor(piece.size() - done);
        room = text_->capacity() - text_->size();
      }
      std::size_t want = std::min(room, piece.size() - done);
      std::size_t copied =
          copyPlainJsonText(piece.substr(done, want), text_->data() + text_->size());
      extendText(copied);
      done += copied;
      if (copied < want) break;
    }
    return done;
  }

  // The room at the end of the string being parsed, once it has been given room for the rest
  // of the message; empty before.
  std::span<char> longRoom() {
    if (!reservedLong_ || !storage_.is_deallocate_trivial()) return {};
    return {text_->data() + text_->size(), text_->capacity() - text_->size()};
  }

  // The value built, or nothing when a number in it has no JSON spelling.
  std::optional<json::value> take() {
    std::optional<json::value> root = std::move(root_);
    bool checked = !sawInfinite_ || (root && allFinite(*root));
    clear();
    if (!checked) return std::nullopt;
    return root;
  }

  void clear() {
    open_.clear();
    root_.reset();
    splitNumber_.clear();
    sawInfinite_ = false;
    text_.reset();
  }

  bool on_document_begin(error_code&) { return true; }
  bool on_document_end(error_code&) { return true; }

  bool on_object_begin(error_code&) {
    open_.push_back({json::value(json::object_kind, storage_), json::string(storage_)});
    return true;
  }
  bool on_object_end(std::size_t, error_code&) { return close(); }
  bool on_array_begin(error_code&) {
    open_.push_back({json::value(json::array_kind, storage_), json::string(storage_)});
    return true;
  }
  bool on_array_end(std::size_t, error_code&) { return close(); }

  bool on_key_part(json::string_view part, std::size_t, error_code&) {
    open_.back().key.append(part);
    return true;
  }
  bool on_key(json::string_view part, std::size_t, error_code&) {
    open_.back().key.append(part);
    return true;
  }

  bool on_string_part(json::string_view part, std::size_t, error_code&) {
    partEnd_ = part.data() + part.size();
    appendText(part);
    return true;
  }
  bool on_string(json::string_view part, std::size_t, error_code&) {
    partEnd_ = nullptr;
    if (text_->empty()) return add(json::value(json::string(part, storage_)));
    appendText(part);
    // Over the closing quote, parsed already.
    text_->data()[text_->size()] = '\0';
    json::value done(std::move(*text_));
    text_.emplace(storage_);
    return add(std::move(done));
  }

  bool on_number_part(json::string_view part, error_code&) {
    splitNumber_.append(part);
    return true;
  }
  bool on_int64(std::int64_t number, json::string_view, error_code&) {
    splitNumber_.clear();
    return add(json::value(number, storage_));
  }
  bool on_uint64(std::uint64_t number, json::string_view, error_code&) {
    splitNumber_.clear();
    return add(json::value(number, storage_));
  }
  bool on_double(double number, json::string_view last, error_code&) {
    // Read again from its text: the library rounds a number it cannot yet see the end of (near
    // the end of a piece) less closely, by up to a unit in the last place, so its reading
    // would depend on where the pieces fell. This one is correctly rounded wherever they fall.
    std::string_view text(last.data(), last.size());
    if (!splitNumber_.empty()) {
      splitNumber_.append(text);
      text = splitNumber_;
    }
    double exact = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), exact);
    // Out of range keeps the library's infinity or zero.
    if (error == std::errc() && end == text.data() + text.size()) number = exact;
    splitNumber_.clear();
    // Kept: a later duplicate key may still replace it; take() checks what remains.
    if (!std::isfinite(number)) sawInfinite_ = true;
    return add(json::value(number, storage_));
  }
  bool on_bool(bool truth, error_code&) { return add(json::value(truth, storage_)); }
  bool on_null(error_code&) { return add(json::value(nullptr, storage_)); }
  bool on_comment_part(json::string_view, error_code&) { return true; }
  bool on_comment(json::string_view, error_code&) { return true; }

 private:
  // A container being filled, with the key that its next value goes under.
  struct Open {
    json::value container;
    json::string key;
  };

  // A string that arrives in pieces too long to be anything but a chunk's data gets room for
  // the rest of the message at once: growing it by doubling would copy it again and again.
  static constexpr std::size_t kLongPiece = 16 * 1024;

  void appendText(json::string_view part) {
    auto at = reinterpret_cast<std::uintptr_t>(part.data());
    auto end = reinterpret_cast<std::uintptr_t>(text_->data() + text_->size());
    auto roomEnd = reinterpret_cast<std::uintptr_t>(text_->data() + text_->capacity());
    if (at >= end && at < roomEnd) {
      // Read in place (placeForNext): where it belongs already, or a little further on when
      // an escape before it came out shorter than it was written.
      std::memmove(text_->data() + text_->size(), part.data(), part.size());
      extendText(part.size());
      return;
    }
    if (part.size() >= kLongPiece && text_->size() + part.size() > text_->capacity()) {
      reserveRest();
    }
    text_->append(part);
  }

  // Takes the `n` bytes after the text, put there already, into it. The terminator that the
  // string writes after them would land on the next byte of a message read in place, which is
  // still to be parsed: that byte is kept, and the text gets its terminator when it ends.
  void extendText(std::size_t n) {
    char* next = text_->data() + text_->size() + n;
    // The place just past the room holds no input (nothing is read beyond the room), and a
    // short string keeps its length there.
    if (next == text_->data() + text_->capacity()) return text_->grow(n);
    char kept = *next;
    text_->grow(n);
    *next = kept;
  }

  // Plain text is copied in steps of at least this much room.
  static constexpr std::size_t kPlainStep = 64;
  // A string this long that still goes on in plain text is taken for a chunk's data.
  static constexpr std::size_t kLongString = 1024;

  // Room in the string for up to `more` bytes of plain text, of which at least kPlainStep. Once the
  // string is long enough to be a chunk's data it gets room for the rest of the message at once;
  // before that it grows by doubling: a short string followed by much plain text reserves in
  // proportion to what it turns out to hold, not to the rest of the message.
  void reserveFor(std::size_t more) {
    if (!reservedLong_ && text_->size() + kPlainStep >= kLongString) return reserveRest();
    std::size_t wanted = text_->size() + std::min(more, std::max(text_->size(), kPlainStep));
    text_->reserve(std::max(wanted, text_->size() + kPlainStep));
  }

  // Room for the rest of the message, once: no string can hold more than that.
  void reserveRest() {
    if (reservedLong_) return;
    reservedLong_ = true;
    text_->reserve(text_->size() + std::max(unparsed_, kPlainStep));
  }

  bool close() {
    json::value done = std::move(open_.back().container);
    open_.pop_back();
    return add(std::move(done));
  }

  bool add(json::value value) {
    if (open_.empty()) {
      root_.emplace(std::move(value));
    } else if (json::array* array = open_.back().container.if_array()) {
      array->emplace_back(std::move(value));
    } else {
      Open& object = open_.back();
      object.container.get_object().insert_or_assign(object.key, std::move(value));
      object.key.clear();
    }
    return true;
  }

  json::storage_ptr storage_;
  std::vector<Open> open_;
  // The string being parsed, made in the message's storage.
  std::optional<json::string> text_;
  std::optional<json::value> root_;
  // The text so far of a number that spans pieces.
  std::string splitNumber_;
  std::size_t unparsed_ = 0;
  bool reservedLong_ = false;
  // The end of the step the library is parsing, and where its last part of a string value in
  // that step ended.
  const char* stepEnd_ = nullptr;
  const char* partEnd_ = nullptr;
  bool sawInfinite_ = false;
};

struct MessageParser::Impl {
  explicit Impl(const json::parse_options& options) : parser(options) {}
  json::basic_parser<Builder> parser;
  std::size_t length = 0;
  std::size_t parsed = 0;
  bool failed = false;
  // The last bytes of the message went to the library as such.
  bool ended = false;
  // Inside a string value whose text the library has handed over up to the last byte parsed.
  bool inPlainString = false;
  // Memory was refused while parsing.
  bool outgrew = false;
};

namespace {
// At most this much of a piece goes to the library at once.
constexpr std::size_t kLibraryStep = 1024;

json::parse_options optionsFor(std::size_t maxDepth) {
  json::parse_options options;
  options.max_depth = maxDepth;
  return options;
}
}  // namespace

MessageParser::MessageParser(std::size_t maxDepth)
    : impl_(std::make_unique<Impl>(optionsFor(maxDepth))) {}

MessageParser::~MessageParser() = default;

void MessageParser::start(json::storage_ptr storage, std::size_t length) {
  impl_->parser.reset();
  impl_->parser.handler().start(std::move(storage));
  impl_->length = length;
  impl_->parsed = 0;
  impl_->ended = false;
  impl_->failed = false;
  impl_->inPlainString = false;
  impl_->outgrew = false;
}

void MessageParser::write(std::string_view piece) {
  try {
    parse(piece);
  } catch (const std::bad_alloc&) {
    outgrow();
  }
}

void MessageParser::parse(std::string_view piece) {
  Impl& m = *impl_;
  Builder& builder = m.parser.handler();
  while (!m.failed && !piece.empty()) {
    if (m.inPlainString) {
      std::size_t plain = builder.appendPlain(piece, m.length - m.parsed);
      m.parsed += plain;
      piece.remove_prefix(plain);
      if (piece.empty()) return;
      // A byte that is not plain: the library reads on from it.
    }
    // The library gets at most kLibraryStep bytes at a time: inside a long string it stops early
    // and leaves the rest to appendPlain(), which copies and looks for the end in one pass.
    std::string_view step = piece.substr(0, kLibraryStep);
    builder.beginStep(step, m.length - m.parsed);
    error_code ec;
    // On the message's last bytes the library is told that no more follow: it finishes the value in
    // this call, without setting its state aside for finish().
    bool last = m.parsed + step.size() >= m.length;
    std::size_t used = m.parser.write_some(!last, step.data(), step.size(), ec);
    m.parsed += step.size();
    m.ended = last;
    // Bytes left over after a whole value are a second value, which no message may have.
    if (ec || used < step.size()) return fail();
    m.inPlainString = builder.inPlainStringAtStepEnd();
    piece.remove_prefix(step.size());
  }
}

std::span<char> MessageParser::placeForNext() {
  Impl& m = *impl_;
  if (m.failed || !m.inPlainString) return {};
  std::span<char> room = m.parser.handler().longRoom();
  // Too little to be worth a read of its own.
  if (room.size() < kLibraryStep) return {};
  return room;
}

std::optional<json::value> MessageParser::finish() {
  try {
    if (!impl_->failed && !impl_->ended) {
      error_code ec;
      impl_->parser.write_some(false, nullptr, 0, ec);
      if (ec) fail();
    }
    if (!impl_->failed && !impl_->parser.done()) fail();
    std::optional<json::value> message = impl_->parser.handler().take();
    if (impl_->failed) return std::nullopt;
    return message;
  } catch (const std::bad_alloc&) {
    outgrow();
    return std::nullopt;
  }
}

bool MessageParser::outgrewStorage() const { return impl_->outgrew; }

void MessageParser::outgrow() {
  impl_->outgrew = true;
  fail();
}

void MessageParser::fail() {
  impl_->failed = true;
  // Whatever was half built goes now, while the memory it lives in is still there.
  impl_->parser.handler().clear();
}

}  // namespace tamberlo

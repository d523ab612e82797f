#include "Host/NativeHost.h"

#include <fcntl.h>

#include <boost/json/monotonic_resource.hpp>
#include <boost/json/serializer.hpp>
#include <cstring>
#include <memory>
#include <optional>

#include "Host/Framing.h"
#include "Host/MessageParser.h"

namespace tamberlo {
namespace json = boost::json;
namespace {

// Memory for parsed messages: one block kept from message to message and sized to the largest
// frame plus room for the containers around its strings, so that a run of chunks parses without
// allocating or touching fresh pages. A message that needs more gets it from the heap for its
// own lifetime only.
class MessageArena {
 public:
  // Storage for the next message; whatever the last one used is given back first.
  json::storage_ptr prepare(size_t frameLength) {
    size_t wanted = frameLength + kSlack;
    // Made anew for every message rather than released: a resource that had to go beyond the
    // block doubles the size of what it asks for next and keeps that through a release, so
    // that a run of such messages would soon ask for more memory than there is.
    resource_.reset();
    if (wanted > capacity_) {
      // The old block goes before the new one comes, so that the two never add up.
      block_.reset();
      block_ = std::make_unique_for_overwrite<unsigned char[]>(wanted);
      capacity_ = wanted;
    }
    resource_.emplace(block_.get(), capacity_);
    return json::storage_ptr(&*resource_);
  }

 private:
  // Keys, numbers and the object of a chunk message, and the few digits by which frames of
  // one transfer differ.
  static constexpr size_t kSlack = 64 * 1024;
  std::unique_ptr<unsigned char[]> block_;
  size_t capacity_ = 0;
  std::optional<json::monotonic_resource> resource_;
};

// Each frame, parsed into the arena as its bytes arrive.
class IncomingMessage : public FrameConsumer {
 public:
  IncomingMessage() : parser_(kMaxMessageDepth) {}

  void start(std::size_t length) override {
    storage_ = arena_.prepare(length);
    parser_.start(storage_, length);
  }
  void take(std::string_view piece) override { parser_.write(piece); }
  std::span<char> placeForNext() override { return parser_.placeForNext(); }

  // The message of the frame just read, or nothing when it was not JSON.
  std::optional<json::value> finish() { return parser_.finish(); }
  const json::storage_ptr& storage() const { return storage_; }

 private:
  // The arena outlives the parser's half-built values: members go in reverse order.
  MessageArena arena_;
  json::storage_ptr storage_;
  MessageParser parser_;
};

constexpr std::string_view kMessageTooLarge = R"({"ok":false,"error":"message too large"})";
constexpr std::string_view kReplyTooLarge = R"({"ok":false,"error":"reply too large"})";

// Appends the reply frame for `reply` to `out`, or the short error frame when the reply would
// pass the outgoing limit; serializing stops as soon as it does.
void appendReply(std::string& out, json::serializer& serializer, const json::value& reply) {
  size_t start = out.size();
  out.append(sizeof(uint32_t), '\0');
  serializer.reset(&reply);
  char piece[4096];
  while (!serializer.done()) {
    out.append(serializer.read(piece, sizeof piece));
    if (out.size() - start - sizeof(uint32_t) > kMaxOutgoingFrame) {
      out.resize(start);
      appendFrame(out, kReplyTooLarge);
      return;
    }
  }
  uint32_t length = static_cast<uint32_t>(out.size() - start - sizeof(uint32_t));
  std::memcpy(out.data() + start, &length, sizeof length);
}

}  // namespace

int serveNativeMessages(int in, int out, SafariWebExtensionHandler& handler) {
  // A browser writes a large message in pieces as the pipe drains, and Firefox copies what is
  // left of it after every piece: the larger the pipe, the fewer the pieces. 1 MiB is what an
  // unprivileged process may ask for by default; any refusal (not a pipe, a lower limit) leaves
  // the pipe as it is.
  ::fcntl(in, F_SETPIPE_SZ, kInputPipeBytes);
  json::serializer serializer;
  IncomingMessage incoming;
  FrameReader reader(in);
  // Replies wait here only while the next request is already whole in the input: they are
  // written before the host would block on reading, so no reply is ever held back from a
  // browser that waits for it.
  std::string pending;
  constexpr size_t kFlushAt = 256 * 1024;
  // One request carrier for all messages, so that its vector and callback are made once.
  ExtensionContext context;
  context.completeRequest = [&](std::vector<ExtensionItem> items) {
    appendReply(pending, serializer, items.front().userInfo->at(kMessageKey));
  };
  while (true) {
    if (!pending.empty() && (!reader.hasBufferedFrame() || pending.size() >= kFlushAt)) {
      handler.flushLog();
      if (!writeAll(out, pending)) return 0;
      pending.clear();
    }
    FrameStatus status = reader.next(incoming);
    if (status == FrameStatus::kEnd) {
      handler.flushLog();
      writeAll(out, pending);
      return 0;
    }
    if (status == FrameStatus::kTooLarge) {
      appendFrame(pending, kMessageTooLarge);
      continue;
    }
    ExtensionItem item;
    if (std::optional<json::value> message = incoming.finish()) {
      // In the message's own storage, so that it moves in rather than being copied.
      item.userInfo.emplace(incoming.storage());
      item.userInfo->emplace(kMessageKey, std::move(*message));
    }
    context.inputItems.clear();
    context.inputItems.emplace_back(std::move(item));
    handler.beginRequest(context);
    // The message goes while its storage is still there.
    context.inputItems.clear();
  }
}

}  // namespace tamberlo

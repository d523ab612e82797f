#include "Host/NativeHost.h"

#include <boost/json/serializer.hpp>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>

#include "Extension/Transfers.h"
#include "Host/Framing.h"
#include "Host/MessageArena.h"
#include "Host/MessageParser.h"

namespace tamberlo {
namespace json = boost::json;
namespace {

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

  // The message of the frame just read, or nothing when it was not JSON or too large to parse
  // within its budget (outgrewBudget() tells which).
  std::optional<json::value> finish() {
    std::optional<json::value> message = parser_.finish();
    arena_.lift();
    return message;
  }
  bool outgrewBudget() const { return parser_.outgrewStorage(); }

 private:
  // The arena outlives the parser's half-built values: members go in reverse order.
  MessageArena arena_;
  json::storage_ptr storage_;
  MessageParser parser_;
};

// A list reply is cut into pages that stay under the outgoing limit.
static_assert(Transfers::kListReplyBudget < kMaxOutgoingFrame);

constexpr std::string_view kMessageTooLarge = R"({"ok":false,"error":"message too large"})";
constexpr std::string_view kReplyTooLarge = R"({"ok":false,"error":"reply too large"})";

// Appends the reply frame for `reply` to `out`, or the short error frame when the reply would
// pass the outgoing limit; serializing stops as soon as it does.
void appendReply(std::string& out, json::serializer& serializer, const json::object& reply) {
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

// The request that carries `message` (none when the frame held no JSON) as its one item, with
// `complete` as its completion. The item shares the message's storage, so nothing is copied.
ExtensionContext requestFor(std::optional<json::value> message,
                            std::function<void(std::vector<ExtensionItem>)> complete) {
  ExtensionContext context;
  ExtensionItem item;
  if (message) {
    item.userInfo.emplace(message->storage());
    item.userInfo->emplace(kMessageKey, std::move(*message));
  }
  context.inputItems.emplace_back(std::move(item));
  context.completeRequest = std::move(complete);
  return context;
}

}  // namespace

int serveNativeMessages(int in, int out, SafariWebExtensionHandler& handler) {
  // A browser writes a large message in pieces as the pipe drains, and Firefox copies what is
  // left of it after every piece: the larger the pipe, the fewer the pieces.
  enlargeInputPipe(in, kInputPipeBytes);
  json::serializer serializer;
  IncomingMessage incoming;
  FrameReader reader(in);
  // Replies wait here only while the next request is already whole in the input: they are
  // written before the host would block on reading, so no reply is ever held back from a
  // browser that waits for it.
  std::string pending;
  constexpr size_t kFlushAt = 256 * 1024;
  while (true) {
    if (!pending.empty() && (!reader.hasBufferedFrame() || pending.size() >= kFlushAt)) {
      handler.flushLog();
      if (!writeAll(out, pending)) return 0;
      pending.clear();
    }
    FrameStatus status = reader.next(incoming);
    if (status == FrameStatus::kEnd) {
      handler.flushLog();
      // Nobody is left to tell when this fails.
      static_cast<void>(writeAll(out, pending));
      return 0;
    }
    if (status == FrameStatus::kTooLarge) {
      appendFrame(pending, kMessageTooLarge);
      continue;
    }
    std::optional<json::value> message = incoming.finish();
    if (incoming.outgrewBudget()) {
      appendFrame(pending, kMessageTooLarge);
      continue;
    }
    // The reply may hold the message, and with it the arena's memory: it is serialized before
    // the next frame reuses the arena.
    ExtensionContext request =
        requestFor(std::move(message), [&](std::vector<ExtensionItem> items) {
          appendReply(pending, serializer, items.front().userInfo->at(kMessageKey).as_object());
        });
    handler.beginRequest(request);
  }
}

}  // namespace tamberlo

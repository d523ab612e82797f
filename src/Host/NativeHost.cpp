#include "Host/NativeHost.h"

#include <boost/json/parser.hpp>
#include <boost/json/serialize.hpp>
#include <cmath>
#include <vector>

#include "Host/Framing.h"

namespace tamberlo {
namespace json = boost::json;
namespace {

// The parser reads a number beyond the range of a double ("1e400") as infinity, which has no
// JSON spelling: echoed back, it would make a reply that no browser can parse. Such a frame is
// no JSON message at all.
bool allNumbersFinite(const json::value& root) {
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

int serveNativeMessages(int in, int out, SafariWebExtensionHandler& handler) {
  json::parse_options options;
  options.max_depth = kMaxMessageDepth;
  json::parser parser({}, options);
  FrameReader reader(in);
  while (true) {
    FrameStatus status = reader.next();
    if (status == FrameStatus::kEnd) return 0;
    std::string reply;
    if (status == FrameStatus::kTooLarge) {
      reply = json::serialize(json::object{{"ok", false}, {"error", "message too large"}});
    } else {
      ExtensionContext context;
      ExtensionItem item;
      parser.reset();
      boost::system::error_code ec;
      parser.write(reader.frame().data(), reader.frame().size(), ec);
      if (!ec) {
        json::value message = parser.release();
        if (allNumbersFinite(message)) {
          item.userInfo.emplace();
          item.userInfo->emplace(kMessageKey, std::move(message));
        }
      }
      context.inputItems.emplace_back(std::move(item));
      context.completeRequest = [&reply](std::vector<ExtensionItem> items) {
        reply = json::serialize(items.front().userInfo->at(kMessageKey));
      };
      handler.beginRequest(context);
      if (reply.size() > kMaxOutgoingFrame) {
        reply = json::serialize(json::object{{"ok", false}, {"error", "reply too large"}});
      }
    }
    if (!writeFrame(out, reply)) return 0;
  }
}

}  // namespace tamberlo

#include "Host/NativeHost.h"

#include <boost/json/parser.hpp>
#include <boost/json/serialize.hpp>

#include "Host/Framing.h"

namespace tamberlo {
namespace json = boost::json;

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
        item.userInfo.emplace();
        item.userInfo->emplace(kMessageKey, parser.release());
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

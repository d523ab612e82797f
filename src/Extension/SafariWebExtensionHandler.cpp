// The request entry and the dispatcher: every message becomes exactly one reply here.
#include "Extension/SafariWebExtensionHandler.h"

#include <boost/json/serialize.hpp>

namespace tamberlo {
namespace json = boost::json;

SafariWebExtensionHandler::SafariWebExtensionHandler(FileSystem& files, Desktop& desktop,
                                                     std::unique_ptr<LogSink> sink)
    : files_(files),
      desktop_(desktop),
      log(std::string(kLogSubsystem), std::string(kLogCategory), std::move(sink)) {}

void SafariWebExtensionHandler::beginRequest(ExtensionContext& context) {
  std::optional<json::value> message;
  // Only the first item counts; the four ways of holding no message are not told apart.
  if (!context.inputItems.empty()) {
    if (auto* item = std::get_if<ExtensionItem>(&context.inputItems.front())) {
      if (item->userInfo && !item->userInfo->empty()) {
        if (auto* value = item->userInfo->if_contains(kMessageKey)) {
          message = std::move(*value);
        }
      }
    }
  }
  json::object reply = answer(std::move(message));
  ExtensionItem replyItem;
  replyItem.userInfo.emplace(reply.storage());
  replyItem.userInfo->emplace(kMessageKey, std::move(reply));
  std::vector<ExtensionItem> items;
  items.push_back(std::move(replyItem));
  if (context.completeRequest) context.completeRequest(std::move(items));
}

json::object SafariWebExtensionHandler::answer(std::optional<json::value> message) {
  const json::object* request = message ? message->if_object() : nullptr;
  const json::value* typeValue = request ? request->if_contains("type") : nullptr;
  const json::string* typeText = typeValue ? typeValue->if_string() : nullptr;
  if (typeText == nullptr || !typeText->subview().starts_with("file.")) {
    log.info("Native message: %{private}s",
             {[&] { return message ? json::serialize(*message) : std::string("nil"); }});
    // The reply shares the message's storage: the echoed message moves in without a copy.
    json::object reply(message ? message->storage() : json::storage_ptr());
    reply.emplace("echo", message ? std::move(*message) : json::value(nullptr));
    return reply;
  }
  std::string type(typeText->subview());

  if (type.starts_with("file.write.")) {
    return write(type, message->as_object());
  }
  if (type == "file.version") return {{"ok", true}, {"version", TAMBERLO_VERSION}};

  const json::value* nameValue = request->if_contains("name");
  const json::string* name = nameValue ? nameValue->if_string() : nullptr;
  if (name == nullptr || !DownloadsFile::isAcceptable(name->subview())) {
    log.error("%{public}s: refused a name that is not one file in Downloads", {type});
    if (type == "file.exists") return {{"error", "not a file name"}};
    return {{"ok", false}, {"error", "not a file name"}};
  }

  std::optional<std::string> folder = downloadsFolder();
  if (!folder) {
    log.error("%{public}s: no Downloads folder", {type});
    return {{"ok", false}, {"error", "no Downloads folder"}};
  }

  if (type == "file.exists") return exists(*request, name->subview(), *folder);
  if (type == "file.open" || type == "file.reveal") {
    return openOrReveal(type, name->subview(), *folder);
  }
  return {{"ok", false}, {"error", "unknown message " + type}};
}

void SafariWebExtensionHandler::flushLog() { log.flush(); }

std::optional<std::string> SafariWebExtensionHandler::downloadsFolder() {
  std::optional<std::string> folder = files_.downloadsDirectory();
  if (!folder) return std::nullopt;
  return files_.resolveSymlinks(*folder);
}

}  // namespace tamberlo

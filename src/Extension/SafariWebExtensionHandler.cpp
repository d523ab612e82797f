// The request entry and the dispatcher: every message becomes exactly one reply here, routed by
// one table from its type to the family that answers it.
#include "Extension/SafariWebExtensionHandler.h"

#include <boost/json/serialize.hpp>

#include "Extension/MessageTypes.h"
#include "Extension/Replies.h"

namespace tamberlo {
namespace json = boost::json;
namespace {

// One row of the dispatch table: the message type and what answers it. A transfer type reads
// its own keys; every other type gets the "name" the dispatcher vetted.
struct Route {
  std::string_view type;
  json::object (*answer)(MessageFamilies& families, json::object& message, std::string_view name);
};

// {"ok": true, "url": ..., "token": ...}, or the channel's refusal.
json::object offerChannel(BulkChannel& channel) {
  Result<ChannelAddress> address = channel.open();
  if (!address) return Replies::refused(address.error().description);
  return {{"ok", true}, {"url", address->url}, {"token", address->token}};
}

// The chunk first: it is by far the most frequent message.
constexpr Route kRoutes[] = {
    {MessageType::kChunk,
     [](MessageFamilies& f, json::object& m, std::string_view) { return f.transfers.chunk(m); }},
    {MessageType::kBegin,
     [](MessageFamilies& f, json::object& m, std::string_view) { return f.transfers.begin(m); }},
    {MessageType::kEnd,
     [](MessageFamilies& f, json::object& m, std::string_view) { return f.transfers.end(m); }},
    {MessageType::kAbort,
     [](MessageFamilies& f, json::object& m, std::string_view) { return f.transfers.abort(m); }},
    {MessageType::kStatus,
     [](MessageFamilies& f, json::object& m, std::string_view) { return f.transfers.status(m); }},
    {MessageType::kList,
     [](MessageFamilies& f, json::object& m, std::string_view) { return f.transfers.list(m); }},
    {MessageType::kChannel,
     [](MessageFamilies& f, json::object&, std::string_view) { return offerChannel(f.channel); }},
    {MessageType::kExists, [](MessageFamilies& f, json::object& m,
                              std::string_view name) { return f.lookup.exists(m, name); }},
    {MessageType::kOpen, [](MessageFamilies& f, json::object&,
                            std::string_view name) { return f.openReveal.open(name); }},
    {MessageType::kReveal, [](MessageFamilies& f, json::object&,
                              std::string_view name) { return f.openReveal.reveal(name); }},
};

const Route* routeOf(std::string_view type) {
  for (const Route& route : kRoutes) {
    if (route.type == type) return &route;
  }
  return nullptr;
}

}  // namespace

SafariWebExtensionHandler::SafariWebExtensionHandler(FileSystem& files, Desktop& desktop,
                                                     std::optional<std::string> downloads,
                                                     std::unique_ptr<LogSink> sink)
    : SafariWebExtensionHandler(files, desktop, std::move(downloads), std::move(sink),
                                makeRefusingChannel("no channel here")) {}

SafariWebExtensionHandler::SafariWebExtensionHandler(FileSystem& files, Desktop& desktop,
                                                     std::optional<std::string> downloads,
                                                     std::unique_ptr<LogSink> sink,
                                                     BulkChannel& channel)
    : files_(files),
      downloads_(std::move(downloads)),
      log(std::string(kLogSubsystem), std::string(kLogCategory), std::move(sink)),
      families_{Transfers(files, downloads_.value_or(""), log),
                Lookup(files, downloads_.value_or(""), log),
                OpenReveal(files, desktop, downloads_.value_or(""), log), channel} {}

SafariWebExtensionHandler::SafariWebExtensionHandler(FileSystem& files, Desktop& desktop,
                                                     std::optional<std::string> downloads,
                                                     std::unique_ptr<LogSink> sink,
                                                     std::unique_ptr<BulkChannel> refusing)
    : SafariWebExtensionHandler(files, desktop, std::move(downloads), std::move(sink), *refusing) {
  refusingChannel_ = std::move(refusing);
}

std::optional<std::string> SafariWebExtensionHandler::downloadsFolder(FileSystem& files) {
  std::optional<std::string> folder = files.downloadsDirectory();
  if (!folder) return std::nullopt;
  return files.resolveSymlinks(*folder);
}

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
  json::object* request = message ? message->if_object() : nullptr;
  const json::value* typeValue = request ? request->if_contains("type") : nullptr;
  const json::string* typeText = typeValue ? typeValue->if_string() : nullptr;
  if (typeText == nullptr || !typeText->subview().starts_with(MessageType::kFilePrefix)) {
    log.info("Native message: %{private}s",
             {[&] { return message ? json::serialize(*message) : std::string("nil"); }});
    // The reply shares the message's storage: the echoed message moves in without a copy.
    json::object reply(message ? message->storage() : json::storage_ptr());
    reply.emplace("echo", message ? std::move(*message) : json::value(nullptr));
    return reply;
  }
  const std::string_view type = typeText->subview();

  // A transfer reads and vets its own keys; the folder comes first, then the type.
  if (type.starts_with(MessageType::kTransferPrefix)) {
    if (!downloads_) {
      log.error("%{public}s: no Downloads folder", {type});
      return Replies::refused("no Downloads folder");
    }
    const Route* route = routeOf(type);
    if (route == nullptr) return Replies::unknown(type);
    return route->answer(families_, *request, {});
  }
  if (type == MessageType::kVersion) return {{"ok", true}, {"version", TAMBERLO_VERSION}};

  // Every other file message names one file: the name is vetted before the folder is looked at,
  // and both before an unknown type is refused.
  const json::string* name = Replies::text(*request, "name");
  if (name == nullptr || !DownloadsFile::isAcceptable(name->subview())) {
    log.error("%{public}s: refused a name that is not one file in Downloads", {type});
    if (type == MessageType::kExists) return {{"error", "not a file name"}};
    return Replies::refused("not a file name");
  }
  if (!downloads_) {
    log.error("%{public}s: no Downloads folder", {type});
    return Replies::refused("no Downloads folder");
  }
  const Route* route = routeOf(type);
  if (route == nullptr || route->type.starts_with(MessageType::kTransferPrefix)) {
    return Replies::unknown(type);
  }
  return route->answer(families_, *request, name->subview());
}

void SafariWebExtensionHandler::flushLog() { log.flush(); }

bool SafariWebExtensionHandler::isDiskFull(const Error& error) {
  return Replies::isDiskFull(error);
}

Result<std::vector<DownloadsFile::Entry>> SafariWebExtensionHandler::entries(
    const std::string& folder, std::string_view name, Dates dates) {
  return tamberlo::entries(files_, folder, name, dates);
}

}  // namespace tamberlo

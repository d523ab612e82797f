// The request and reply carriers between the native-messaging program and the handler. The
// stdio host always builds one item holding the message; the handler must still survive every
// other shape a carrier can take (no items, a foreign first item, no user info, no message key).
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>
#include <functional>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

namespace tamberlo {

// The user-info key under which a message travels, in a request item and in a reply item.
inline constexpr std::string_view kMessageKey = "message";

struct ExtensionItem {
  std::optional<boost::json::object> userInfo;
};

// An input item of some other kind than ExtensionItem; its content is never looked at.
struct ForeignItem {};

using InputItem = std::variant<ExtensionItem, ForeignItem>;

// One request: the input items and the callback that completes it with the reply items.
struct ExtensionContext {
  std::vector<InputItem> inputItems;
  std::function<void(std::vector<ExtensionItem>)> completeRequest;
};

}  // namespace tamberlo

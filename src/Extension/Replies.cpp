#include "Extension/Replies.h"

#include <cmath>

namespace tamberlo::Replies {
namespace json = boost::json;

json::object ok() { return {{"ok", true}}; }

json::object refused(std::string_view error) { return {{"ok", false}, {"error", error}}; }

json::object unknown(std::string_view type) {
  return refused("unknown message " + std::string(type));
}

bool isDiskFull(const Error& error) { return error.kind == ErrorKind::kNoSpace; }

json::object failure(Logger& log, std::string_view type, const Error& error) {
  bool storage = isDiskFull(error);
  log.error("%{public}s failed%{public}s: %{public}s",
            {type, storage ? " (disk full)" : "", error.description});
  return {{"ok", false}, {"error", error.description}, {"storage", storage}};
}

const json::string* text(const json::object& message, std::string_view key) {
  const json::value* value = message.if_contains(key);
  return value ? value->if_string() : nullptr;
}

std::optional<uint64_t> wholeNumber(const json::value* value) {
  if (value == nullptr) return std::nullopt;
  switch (value->kind()) {
    case json::kind::uint64:
      return value->get_uint64();
    case json::kind::int64:
      if (value->get_int64() < 0) return std::nullopt;
      return static_cast<uint64_t>(value->get_int64());
    case json::kind::double_: {
      double d = value->get_double();
      // 2^64 itself is the first double out of range.
      if (!(d >= 0.0) || d >= 18446744073709551616.0 || std::trunc(d) != d) return std::nullopt;
      return static_cast<uint64_t>(d);
    }
    default:
      return std::nullopt;
  }
}

}  // namespace tamberlo::Replies

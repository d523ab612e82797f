// The replies that every message family gives in the same shape, and the values its requests
// carry, read the same way by all of them.
#pragma once

#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Platform/Error.h"
#include "Platform/Logger.h"

namespace tamberlo::Replies {

// {"ok": true}
boost::json::object ok();

// {"ok": false, "error": `error`}
boost::json::object refused(std::string_view error);

// {"ok": false, "error": "unknown message <type>"}
boost::json::object unknown(std::string_view type);

// True when `error` means the volume, its inodes or the user's quota are full.
bool isDiskFull(const Error& error);

// The reply to a file operation of `type` that failed with `error`: {"ok": false, "error": the
// error's description, "storage": true when the volume or the quota is full}, logged at error
// level as "<type> failed[ (disk full)]: <description>".
boost::json::object failure(Logger& log, std::string_view type, const Error& error);

// The text under `key`, or nothing when it is absent or not text.
const boost::json::string* text(const boost::json::object& message, std::string_view key);

// A byte count or offset: a whole number from 0 to 2^64-1. A double counts when it has no
// fraction; booleans, text and anything fractional or out of range do not.
std::optional<uint64_t> wholeNumber(const boost::json::value* value);

}  // namespace tamberlo::Replies

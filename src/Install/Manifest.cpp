#include "Install/Manifest.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

namespace tamberlo::Install {
namespace {

constexpr std::string_view kDescription = "tamberlo: saves videos into the Downloads folder";

void appendIndented(std::string& out, const boost::json::value& value, size_t depth) {
  std::string indent(2 * depth + 2, ' ');
  if (const boost::json::object* object = value.if_object(); object && !object->empty()) {
    out += "{\n";
    bool first = true;
    for (const auto& member : *object) {
      out += first ? "" : ",\n";
      first = false;
      out += indent + boost::json::serialize(boost::json::value(member.key())) + ": ";
      appendIndented(out, member.value(), depth + 1);
    }
    out += "\n";
    out.append(indent, 2);
    out += "}";
  } else if (const boost::json::array* array = value.if_array(); array && !array->empty()) {
    out += "[\n";
    for (size_t i = 0; i < array->size(); ++i) {
      out += i == 0 ? "" : ",\n";
      out += indent;
      appendIndented(out, (*array)[i], depth + 1);
    }
    out += "\n";
    out.append(indent, 2);
    out += "]";
  } else {
    out += boost::json::serialize(value);
  }
}

}  // namespace

std::string_view callersKey(BrowserKind kind) {
  return kind == BrowserKind::kChromium ? "allowed_origins" : "allowed_extensions";
}

boost::json::object makeManifest(std::string_view name, BrowserKind kind, std::string_view hostPath,
                                 const std::vector<std::string>& callers) {
  boost::json::array listed;
  for (const std::string& caller : callers) listed.emplace_back(caller);
  return {{"name", name},
          {"description", kDescription},
          {"path", hostPath},
          {"type", "stdio"},
          {callersKey(kind), std::move(listed)}};
}

std::optional<boost::json::object> parseManifest(std::string_view text) {
  boost::system::error_code error;
  boost::json::value value = boost::json::parse(text, error);
  if (error || !value.is_object()) return std::nullopt;
  return std::move(value.as_object());
}

std::vector<std::string> callersOf(const boost::json::object& manifest, BrowserKind kind) {
  std::vector<std::string> callers;
  const boost::json::value* listed = manifest.if_contains(callersKey(kind));
  if (listed == nullptr || !listed->is_array()) return callers;
  for (const boost::json::value& caller : listed->as_array()) {
    if (caller.is_string()) callers.emplace_back(caller.as_string());
  }
  return callers;
}

std::string manifestText(const boost::json::object& manifest) {
  std::string text;
  appendIndented(text, manifest, 0);
  return text + "\n";
}

}  // namespace tamberlo::Install

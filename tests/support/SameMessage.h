// Whether two parsed messages are the same message: the same kinds, keys in the same order and
// the same values, except that a double may differ from the library's reading in its last few
// places (the library does not always round to the nearest double, and rounds a number near the
// end of its input less closely still). Shared by the message parser's test and its fuzz target.
#pragma once

#include <boost/json.hpp>
#include <cmath>
#include <optional>
#include <string_view>

namespace tamberlo::testing {

// True when no number in `value` is infinite.
inline bool allFinite(const boost::json::value& value) {
  namespace json = boost::json;
  if (const double* d = value.if_double()) return std::isfinite(*d);
  if (const json::array* array = value.if_array()) {
    for (const json::value& element : *array) {
      if (!allFinite(element)) return false;
    }
  }
  if (const json::object* object = value.if_object()) {
    for (const auto& entry : *object) {
      if (!allFinite(entry.value())) return false;
    }
  }
  return true;
}

// The library's own reading of a whole text, as a reference for the message parser.
struct LibraryReading {
  // The value, or nothing for text that is not one JSON value or that holds an infinite number.
  std::optional<boost::json::value> value;
  // The library read a number as infinite. It also does so for some that are not ("0e400"), so
  // its reading of such a text is no reference.
  bool infinite = false;
};

inline LibraryReading libraryReading(std::string_view text, std::size_t maxDepth) {
  boost::json::parse_options options;
  options.max_depth = maxDepth;
  boost::system::error_code ec;
  boost::json::value value = boost::json::parse(text, ec, {}, options);
  if (ec) return {};
  if (!allFinite(value)) return {std::nullopt, true};
  return {std::move(value), false};
}

inline bool sameMessage(const boost::json::value& a, const boost::json::value& b) {
  namespace json = boost::json;
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case json::kind::double_: {
      double x = a.get_double(), y = b.get_double();
      if (std::isnan(x) || std::isnan(y)) return false;
      return x == y || std::fabs(x - y) <= 1e-14 * std::fmax(std::fabs(x), std::fabs(y));
    }
    case json::kind::array: {
      const json::array& left = a.get_array();
      const json::array& right = b.get_array();
      if (left.size() != right.size()) return false;
      for (size_t i = 0; i < left.size(); ++i) {
        if (!sameMessage(left[i], right[i])) return false;
      }
      return true;
    }
    case json::kind::object: {
      const json::object& left = a.get_object();
      const json::object& right = b.get_object();
      if (left.size() != right.size()) return false;
      for (auto l = left.begin(), r = right.begin(); l != left.end(); ++l, ++r) {
        if (l->key() != r->key() || !sameMessage(l->value(), r->value())) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

inline bool sameMessage(const std::optional<boost::json::value>& a,
                        const std::optional<boost::json::value>& b) {
  if (!a || !b) return !a && !b;
  return sameMessage(*a, *b);
}

}  // namespace tamberlo::testing

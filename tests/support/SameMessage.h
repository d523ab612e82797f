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

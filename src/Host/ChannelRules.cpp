#include "Host/ChannelServer.h"

namespace tamberlo {

namespace ChannelRules {

Callers callersFrom(std::span<const std::string_view> arguments) {
  Callers callers;
  constexpr std::string_view kChromium = "chrome-extension://";
  if (!arguments.empty() && arguments[0].starts_with(kChromium) &&
      arguments[0].size() > kChromium.size()) {
    std::string_view origin = arguments[0];
    if (origin.ends_with('/')) origin.remove_suffix(1);
    if (origin.find('/', kChromium.size()) == std::string_view::npos) callers.exact = origin;
    return callers;
  }
  // Firefox: the manifest's path, then the add-on's ID.
  callers.anyMozExtension = arguments.size() >= 2 && !arguments[1].empty();
  return callers;
}

bool originAllowed(const Callers& callers, std::string_view origin) {
  if (callers.exact) return origin == *callers.exact;
  constexpr std::string_view kFirefox = "moz-extension://";
  if (!callers.anyMozExtension || !origin.starts_with(kFirefox)) return false;
  std::string_view host = origin.substr(kFirefox.size());
  return !host.empty() && host.find_first_of("/?#@ ") == std::string_view::npos;
}

bool tokenMatches(std::string_view given, std::string_view token) {
  if (given.size() != token.size()) return false;
  unsigned char differ = 0;
  for (size_t i = 0; i < token.size(); ++i)
    differ |= static_cast<unsigned char>(given[i] ^ token[i]);
  return differ == 0;
}

}  // namespace ChannelRules

}  // namespace tamberlo

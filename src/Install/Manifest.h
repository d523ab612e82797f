// The native-messaging manifest that tells a browser where the host is and who may call it.
// Pure text work: nothing here touches the disk or the registry.
#pragma once

#include <boost/json/object.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamberlo::Install {

// Chromium-based browsers list their callers as origins ("chrome-extension://ID/"),
// Firefox-based ones as add-on IDs, each under its own key: the two kinds get different files.
enum class BrowserKind { kChromium, kFirefox };

// "allowed_origins" or "allowed_extensions".
std::string_view callersKey(BrowserKind kind);

// A manifest for host `name` whose program is `hostPath` (absolute, UTF-8), callable by `callers`.
boost::json::object makeManifest(std::string_view name, BrowserKind kind, std::string_view hostPath,
                                 const std::vector<std::string>& callers);

// The manifest `text` holds, or nothing when it is not a JSON object.
std::optional<boost::json::object> parseManifest(std::string_view text);

// The text callers listed in `manifest` under the key of `kind`, in order; others are skipped.
std::vector<std::string> callersOf(const boost::json::object& manifest, BrowserKind kind);

// `manifest` as JSON indented by two spaces, ending in a line feed.
std::string manifestText(const boost::json::object& manifest);

}  // namespace tamberlo::Install

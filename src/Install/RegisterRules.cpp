#include "Install/RegisterRules.h"

#include <algorithm>
#include <regex>

namespace tamberlo::Install {
namespace {

std::string quoted(std::string_view text) { return std::string("'").append(text).append("'"); }

bool contains(const std::vector<std::string>& items, std::string_view item) {
  return std::find(items.begin(), items.end(), item) != items.end();
}

std::string choices(std::span<const std::string_view> browsers) {
  std::vector<std::string_view> sorted(browsers.begin(), browsers.end());
  std::sort(sorted.begin(), sorted.end());
  std::string text;
  for (size_t i = 0; i < sorted.size(); ++i) {
    text += i == 0 ? "" : (i + 1 == sorted.size() ? " or " : ", ");
    text += sorted[i];
  }
  return text;
}

std::optional<std::string> badIds(const std::vector<std::string>& ids,
                                  bool (*valid)(std::string_view), std::string_view kind,
                                  std::string_view example) {
  for (const std::string& id : ids) {
    if (!valid(id)) {
      return quoted(id) + " is not a " + std::string(kind) + " (expected " + std::string(example) +
             ")";
    }
  }
  return std::nullopt;
}

}  // namespace

Error refused(std::string why) { return Error{ErrorKind::kInvalid, std::move(why)}; }

Error failed(std::string what) { return Error{ErrorKind::kOther, std::move(what)}; }

bool isChromiumId(std::string_view id) {
  // 32 letters a-p: the first 128 bits of the SHA-256 of the extension's key, a letter a digit.
  return id.size() == 32 &&
         std::all_of(id.begin(), id.end(), [](char c) { return c >= 'a' && c <= 'p'; });
}

bool isFirefoxId(std::string_view id) {
  // An e-mail-like name or a GUID in braces.
  static const std::regex kFirefoxId(
      "[A-Za-z0-9._+-]*@[A-Za-z0-9._-]+"
      "|\\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\\}");
  return std::regex_match(id.begin(), id.end(), kFirefoxId);
}

bool isHostName(std::string_view name) {
  // As browsers accept it. It is also the manifest's file name, so it never leaves the folder.
  static const std::regex kHostName("[a-z0-9_]+(\\.[a-z0-9_]+)*");
  return std::regex_match(name.begin(), name.end(), kHostName);
}

bool isAbsoluteHost(std::string_view path) {
  if (path.starts_with("/")) return true;
  bool letter = path.size() >= 3 &&
                ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
  return letter && path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

Result<Parsed> parseArguments(std::span<const std::string> args,
                              std::span<const std::string_view> browsers, std::string_view usage,
                              std::string_view version) {
  Parsed parsed;
  Options& options = parsed.options;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> value;
    if (size_t equals = option.find('='); option.starts_with("--") && equals != std::string::npos) {
      value = option.substr(equals + 1);
      option.resize(equals);
    }
    auto takeValue = [&]() -> std::optional<std::string> {
      if (value) return value;
      if (i + 1 == args.size()) return std::nullopt;
      return args[++i];
    };
    auto needs = [&]() { return refused(option + " needs a value"); };
    if (option == "--help" || option == "-h") {
      parsed.shown = std::string(usage);
      return parsed;
    } else if (option == "--version") {
      parsed.shown = std::string("tamberlo-register ").append(version).append("\n");
      return parsed;
    } else if (option == "--remove" || option == "--list" || option == "--system") {
      if (value) return refused(option + " takes no value");
      (option == "--remove" ? options.remove
       : option == "--list" ? options.list
                            : options.system) = true;
    } else if (option == "--extension-id" || option == "--firefox-id" ||
               option == "--user-data-dir" || option == "--browser") {
      std::optional<std::string> taken = takeValue();
      if (!taken) return needs();
      if (option == "--browser") {
        if (std::find(browsers.begin(), browsers.end(), *taken) == browsers.end()) {
          return refused(quoted(*taken) + " is not a browser (" + choices(browsers) + ")");
        }
        if (!contains(options.browsers, *taken)) options.browsers.push_back(*taken);
      } else {
        (option == "--extension-id" ? options.extensionIds
         : option == "--firefox-id" ? options.firefoxIds
                                    : options.userDataDirs)
            .push_back(*taken);
      }
    } else if (option == "--host" || option == "--name" || option == "--root") {
      std::optional<std::string> taken = takeValue();
      if (!taken) return needs();
      if (option == "--name") {
        options.name = *taken;
      } else {
        (option == "--host" ? options.host : options.root) = *taken;
      }
    } else {
      return refused(std::string("unknown argument ").append(quoted(args[i])));
    }
  }
  if (options.remove && options.list) return refused("--remove does not go with --list");
  if (!isHostName(options.name)) {
    return refused(quoted(options.name) +
                   " is not a host name (expected lower-case letters, digits and underscores, "
                   "in pieces joined by single dots)");
  }
  if (auto bad =
          badIds(options.extensionIds, isChromiumId, "Chromium extension ID", "32 letters a-p")) {
    return refused(*bad);
  }
  if (auto bad =
          badIds(options.firefoxIds, isFirefoxId, "Firefox add-on ID", "name@domain or {GUID}")) {
    return refused(*bad);
  }
  return parsed;
}

std::optional<std::string> conflict(const Options& options) {
  if (!options.userDataDirs.empty()) {
    if (options.system || !options.browsers.empty()) {
      return "--user-data-dir does not go with --system or --browser";
    }
    if (!options.firefoxIds.empty()) {
      return "--firefox-id does not apply to a Chromium --user-data-dir";
    }
    return std::nullopt;
  }
  if (options.root && *options.root != "/" && !options.system) {
    return "--root applies to --system only";
  }
  return std::nullopt;
}

std::vector<std::string> callersNamed(const Options& options, BrowserKind kind) {
  if (kind == BrowserKind::kFirefox) return options.firefoxIds;
  std::vector<std::string> origins;
  for (const std::string& id : options.extensionIds) {
    origins.push_back("chrome-extension://" + id + "/");
  }
  return origins;
}

std::vector<std::string> addCallers(const std::vector<std::string>& listed,
                                    const std::vector<std::string>& named) {
  std::vector<std::string> callers;
  for (const auto* from : {&listed, &named}) {
    for (const std::string& caller : *from) {
      if (!contains(callers, caller)) callers.push_back(caller);
    }
  }
  return callers;
}

std::optional<std::vector<std::string>> takeOutCallers(const std::vector<std::string>& listed,
                                                       const std::vector<std::string>& gone) {
  std::vector<std::string> left;
  for (const std::string& caller : listed) {
    if (!contains(gone, caller)) left.push_back(caller);
  }
  if (left.size() == listed.size()) return std::nullopt;
  return left;
}

Result<std::vector<Place>> choosePlaces(const Options& options, std::vector<Place> all) {
  if (options.list) return all;
  auto wanted = [&](BrowserKind kind) { return !callersNamed(options, kind).empty(); };
  bool anyCaller = !options.extensionIds.empty() || !options.firefoxIds.empty();
  std::vector<Place> chosen;
  if (options.remove) {
    for (Place& place : all) {
      if (!anyCaller || wanted(place.kind)) chosen.push_back(std::move(place));
    }
    return chosen;
  }
  if (!anyCaller) return refused("name at least one caller: --extension-id ID or --firefox-id ID");
  bool asked = !options.browsers.empty() || options.system || !options.userDataDirs.empty();
  std::string looked;
  for (Place& place : all) {
    if (!wanted(place.kind)) continue;
    if (!place.system) looked += (looked.empty() ? "" : ", ") + place.ownFolder;
    if (asked || place.present) chosen.push_back(std::move(place));
  }
  if (chosen.empty() && !options.browsers.empty()) {
    return refused(
        "no browser named takes these callers: --extension-id is for Chromium-based browsers, "
        "--firefox-id for Firefox-based ones");
  }
  if (chosen.empty()) {
    return refused("no browser found (none of " + looked + " exists); name one with --browser");
  }
  return chosen;
}

std::string joined(const std::vector<std::string>& items) {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : ", ") + item;
  return text.empty() ? "none" : text;
}

}  // namespace tamberlo::Install

// What tamberlo-register does with the places an Installer gives it: the same on every OS.
//
// Registering adds the callers named to those a manifest already lists; removing with callers
// named takes out only those, and deletes a manifest only when it has no caller left. Removing
// with --host and no caller deletes every manifest in the places looked at that names that
// host, whatever its name (the Debian package does this when it is removed). Every argument is
// checked before anything is written: bad input writes nothing.
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <cstdio>

#include "Install/Installer.h"

namespace tamberlo::Install {
namespace {

void say(const std::string& line) { std::printf("%s\n", line.c_str()); }

void warn(const std::string& line) {
  std::fprintf(stderr, "tamberlo-register: %s\n", line.c_str());
}

// The manifest in `text`, or what keeps it from being one.
Result<boost::json::object> manifestIn(const std::string& text) {
  boost::system::error_code error;
  boost::json::value value = boost::json::parse(text, error);
  if (error) return failed(error.message());
  if (!value.is_object()) return failed("not a JSON object");
  return std::move(value.as_object());
}

Status registerAt(Installer& installer, const Place& place, const Options& options,
                  const std::string& host) {
  std::vector<std::string> listed;
  Result<std::optional<std::string>> text = installer.read(place);
  if (!text && text.error().kind == ErrorKind::kNotRegularFile) {
    return failed("cannot write " + place.manifest + ": " + text.error().description);
  }
  if (!text) {
    warn("replacing " + place.manifest + ", which is no manifest (" + text.error().description +
         ")");
  } else if (*text) {
    Result<boost::json::object> old = manifestIn(**text);
    if (old) {
      listed = callersOf(*old, place.kind);
    } else {
      warn("replacing " + place.manifest + ", which is no manifest (" + old.error().description +
           ")");
    }
  }
  std::vector<std::string> callers = addCallers(listed, callersNamed(options, place.kind));
  Status written =
      installer.write(place, manifestText(makeManifest(options.name, place.kind, host, callers)));
  if (!written) return written;
  say("wrote " + place.manifest + " for " + joined(callers));
  return success();
}

Status unregisterAt(Installer& installer, const Place& place, const Options& options) {
  std::vector<std::string> gone = callersNamed(options, place.kind);
  if (gone.empty()) return installer.remove(place);
  Result<std::optional<std::string>> text = installer.read(place);
  if (!text || !*text) return success();  // lists no caller that could be taken out
  Result<boost::json::object> manifest = manifestIn(**text);
  if (!manifest) return success();
  std::optional<std::vector<std::string>> left =
      takeOutCallers(callersOf(*manifest, place.kind), gone);
  if (!left) return success();
  if (left->empty()) return installer.remove(place);
  boost::json::array kept;
  for (const std::string& caller : *left) kept.emplace_back(caller);
  (*manifest)[callersKey(place.kind)] = std::move(kept);
  Status written = installer.write(place, manifestText(*manifest));
  if (!written) return written;
  say("kept " + place.manifest + " for " + joined(*left));
  return success();
}

// Deletes every manifest in the places' folders that names `host`.
Status unregisterHost(Installer& installer, const std::vector<Place>& places,
                      const std::string& host) {
  for (const Place& place : places) {
    for (const Place& other : installer.everyManifest(place)) {
      Result<std::optional<std::string>> text = installer.read(other);
      if (!text || !*text) continue;
      Result<boost::json::object> manifest = manifestIn(**text);
      if (!manifest) continue;
      const boost::json::value* path = manifest->if_contains("path");
      if (path == nullptr || !path->is_string() || path->as_string() != host) continue;
      if (Status removed = installer.remove(other); !removed) return removed;
    }
  }
  return success();
}

std::string_view stateText(HostState state) {
  switch (state) {
    case HostState::kExecutable:
      return "executable";
    case HostState::kNotExecutable:
      return "not executable";
    case HostState::kMissing:
      return "missing";
    case HostState::kNotAbsolute:
      break;
  }
  return "not an absolute path";
}

void show(Installer& installer, const std::vector<Place>& places, const std::string& name) {
  int count = 0;
  for (const Place& looked : places) {
    std::optional<Place> place = installer.listed(looked);
    if (!place) continue;
    std::string header = place->title + ": " + place->shown;
    Result<std::optional<std::string>> text = installer.read(*place);
    if (text && !*text) {
      // A key that names a manifest that is gone; a folder without one is no registration.
      if (!place->key.empty()) {
        say(header + "\n  missing");
        ++count;
      }
      continue;
    }
    ++count;
    Result<boost::json::object> manifest =
        text ? manifestIn(**text) : Result<boost::json::object>(text.error());
    if (manifest) {
      const boost::json::value* named = manifest->if_contains("name");
      if (named == nullptr || !named->is_string() || named->as_string() != name) {
        std::string shownName = "None";
        if (named != nullptr && named->is_string()) {
          shownName = std::string("'").append(named->as_string()).append("'");
        } else if (named != nullptr) {
          shownName = boost::json::serialize(*named);
        }
        manifest = failed("its name is " + shownName + ", not '" + name + "'");
      }
    }
    if (!manifest) {
      say(header + "\n  not a manifest: " + manifest.error().description);
      continue;
    }
    const boost::json::value* host = manifest->if_contains("path");
    std::string hostText = host != nullptr && host->is_string()
                               ? std::string(host->as_string())
                               : (host == nullptr ? "None" : boost::json::serialize(*host));
    HostState state = host != nullptr && host->is_string() ? installer.hostState(hostText)
                                                           : HostState::kNotAbsolute;
    say(header + "\n  host: " + hostText + " (" + std::string(stateText(state)) +
        ")\n  callers: " + joined(callersOf(*manifest, place->kind)));
  }
  if (count == 0) say(name + " is registered nowhere that was looked at");
}

int report(const Error& error) {
  if (error.kind == ErrorKind::kInvalid) {
    warn(error.description + "; nothing written");
    return kRefusedExit;
  }
  // The manifests already handled stay as they are: run again once the cause is mended.
  warn(error.description);
  return kFailedExit;
}

}  // namespace

int runRegister(std::span<const std::string> args, Installer& installer) {
  Result<Parsed> parsed =
      parseArguments(args, installer.browsers(), installer.usage(), TAMBERLO_VERSION);
  if (!parsed) return report(parsed.error());
  if (parsed->shown) {
    std::fputs(parsed->shown->c_str(), stdout);
    return 0;
  }
  const Options& options = parsed->options;
  if (std::optional<std::string> why = conflict(options)) return report(refused(*why));
  Result<std::vector<Place>> all = installer.places(options);
  if (!all) return report(all.error());
  Result<std::vector<Place>> places = choosePlaces(options, std::move(*all));
  if (!places) return report(places.error());
  bool anyCaller = !options.extensionIds.empty() || !options.firefoxIds.empty();
  if (options.list) {
    show(installer, *places, options.name);
    return 0;
  }
  Status done = success();
  if (options.remove && options.host && !anyCaller) {
    if (!isAbsoluteHost(*options.host)) {
      return report(refused("--remove --host takes the absolute path the manifests name"));
    }
    done = unregisterHost(installer, *places, *options.host);
  } else if (options.remove) {
    for (const Place& place : *places) {
      if (done = unregisterAt(installer, place, options); !done) break;
    }
  } else {
    Result<std::string> host = installer.host(options);
    if (!host) return report(host.error());
    for (const Place& place : *places) {
      if (done = registerAt(installer, place, options, *host); !done) break;
    }
  }
  return done ? 0 : report(done.error());
}

}  // namespace tamberlo::Install

// The rules of tamberlo-register that need no OS: what the arguments say, which of them go
// together, which IDs and host names are valid, and how the callers of a manifest change.
// Every function here is pure: it reads its arguments and nothing else.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Install/Manifest.h"
#include "Platform/Error.h"

namespace tamberlo::Install {

inline constexpr std::string_view kDefaultName = "tamberlo.host";

// Exit statuses: bad input (nothing written), and a failure of the OS part way.
inline constexpr int kRefusedExit = 2;
inline constexpr int kFailedExit = 1;

// An Error of this program: `code` is the exit status, `description` the message shown.
Error refused(std::string why);
Error failed(std::string what);

struct Options {
  std::vector<std::string> extensionIds;
  std::vector<std::string> firefoxIds;
  std::optional<std::string> host;
  std::string name{kDefaultName};
  std::vector<std::string> browsers;  // the --browser values, each once, in order
  std::vector<std::string> userDataDirs;
  bool system = false;
  std::optional<std::string> root;  // as given
  bool remove = false;
  bool list = false;
};

// What the command line asks for: the options, or a text to show before exiting with 0
// (--help, --version).
struct Parsed {
  Options options;
  std::optional<std::string> shown;
};

// Reads `args` (without the program's name). `browsers` are the values --browser takes here,
// `usage` the text --help shows and `version` the project's version. Every ID and the host
// name are checked. A refused Error names the first bad argument.
Result<Parsed> parseArguments(std::span<const std::string> args,
                              std::span<const std::string_view> browsers, std::string_view usage,
                              std::string_view version);

bool isChromiumId(std::string_view id);
bool isFirefoxId(std::string_view id);
bool isHostName(std::string_view name);
// A path that names the same file from any folder: "/..." or "C:\\..." (or "C:/...").
bool isAbsoluteHost(std::string_view path);

// The options that do not go together on this command line, as a refusal; nothing when they do.
std::optional<std::string> conflict(const Options& options);

// The callers named on the command line as a manifest of `kind` lists them: origins
// (chrome-extension://ID/) for Chromium, add-on IDs for Firefox.
std::vector<std::string> callersNamed(const Options& options, BrowserKind kind);

// `listed` followed by those of `named` it lacks, each caller once.
std::vector<std::string> addCallers(const std::vector<std::string>& listed,
                                    const std::vector<std::string>& named);

// `listed` without any of `gone`, in order; nothing when `listed` holds none of `gone` (the
// manifest is then left as it is).
std::optional<std::vector<std::string>> takeOutCallers(const std::vector<std::string>& listed,
                                                       const std::vector<std::string>& gone);

// A folder where a browser looks for manifests, and the manifest of one host name in it.
struct Place {
  std::string title;  // "Chromium (user)", "Edge (system)", "Chrome"
  BrowserKind kind = BrowserKind::kChromium;
  bool system = false;             // read for every user
  bool present = true;             // the browser's own folder exists (or it is not asked)
  std::string ownFolder;           // the browser's own folder, named when none is found
  std::string folder;              // where the manifest stands
  std::string manifest;            // the manifest's path
  std::string base;                // above it links may be followed; below it never
  std::vector<std::string> stops;  // folders a removal leaves even when empty
  std::string key;                 // Windows: the registry key that names the manifest
  std::string shown;               // how --list names the place
};

// Of every place that `options` can mean, those to write to or remove from; a refusal when there
// is none to write to. `all` is every place the OS knows for the options (user places first).
Result<std::vector<Place>> choosePlaces(const Options& options, std::vector<Place> all);

// "a, b" or "none".
std::string joined(const std::vector<std::string>& items);

}  // namespace tamberlo::Install

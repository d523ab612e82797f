// Where manifests live and how they are written: the one part of tamberlo-register that differs
// by OS (Linux/LinuxInstaller.cpp, Windows/WindowsInstaller.cpp). Paths are UTF-8.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Install/RegisterRules.h"

namespace tamberlo::Install {

enum class HostState { kExecutable, kNotExecutable, kMissing, kNotAbsolute };

class Installer {
 public:
  virtual ~Installer() = default;

  // The values --browser takes here, and the text --help shows.
  virtual std::span<const std::string_view> browsers() const = 0;
  virtual std::string_view usage() const = 0;

  // Every place `options` (parsed, without conflict) can mean, user places first, for manifests
  // of options.name; for a list, also those read for all users. A refused Error for what this
  // OS cannot do with them (no HOME, --system without root, a browser with no system folder).
  virtual Result<std::vector<Place>> places(const Options& options) = 0;

  // The absolute path a manifest names for options.host (or the host beside this program);
  // refused when that is not an executable regular file.
  virtual Result<std::string> host(const Options& options) = 0;

  // The manifest's text; nothing when there is none. An Error of kind kNotRegularFile when a
  // link or anything but a regular file stands there: it is never followed. Other Errors when
  // it cannot be read.
  virtual Result<std::optional<std::string>> read(const Place& place) = 0;

  // Replaces the manifest with `text` whole, or leaves it as it was, and makes the browser find
  // it. Never follows a link: refuses (failed Error) when the manifest's name or a folder below
  // place.base is one.
  virtual Status write(const Place& place, const std::string& text) = 0;

  // Deletes the manifest and what names it, then the folders this left empty; success when
  // there is nothing to delete. Says what it removed on standard output.
  virtual Status remove(const Place& place) = 0;

  // The place as --list shows it: nothing when the browser is not pointed at a manifest there.
  virtual std::optional<Place> listed(const Place& place) = 0;

  // The manifests of any name in place's folder (place itself among them when it is there).
  virtual std::vector<Place> everyManifest(const Place& place) = 0;

  // Whether `path`, named by a manifest, is a program that can be started.
  virtual HostState hostState(std::string_view path) = 0;
};

// tamberlo-register: does what `args` ask with `installer`, prints what it did, and returns the
// exit status (0; 2 for bad input, when nothing is written; 1 when the OS refused part way).
int runRegister(std::span<const std::string> args, Installer& installer);

}  // namespace tamberlo::Install

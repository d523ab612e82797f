// The user's desktop: opening a file with the application assigned to its type, and showing a
// file selected in the file manager.
#pragma once

#include <memory>
#include <string>

namespace tamberlo {

// What came of asking the desktop to open a file.
enum class OpenOutcome {
  kOpened,          // an application was launched for it
  kNotOpened,       // no application is registered for its type, or the launch failed
  kRefusedProgram,  // its type runs as a program (or opens one), so nothing was launched
};

class Desktop {
 public:
  virtual ~Desktop() = default;

  // Asks the desktop to open the object at the absolute `path` with the default application for
  // its type, unless that type is one the desktop runs as a program: an executable, a shared
  // library, a script, a launcher or shortcut file (on Linux by the content type that GIO guesses
  // from the name and the first bytes; on Windows by the name's extension as the shell and
  // PATHEXT judge it). Such a file is never handed to the desktop: kRefusedProgram. A missing
  // file is kNotOpened. Does not wait for the application to finish.
  virtual OpenOutcome open(const std::string& path) = 0;

  // Asks the file manager to show the object at the absolute `path` selected; where no file
  // manager answers, opens the containing folder instead. Returns without waiting for either,
  // also when there is no desktop session at all.
  virtual void reveal(const std::string& path) = 0;
};

// The system's desktop. On Linux, the GIO desktop run by a launcher process (GioDesktop.h), which
// acts only on an existing object directly in the Downloads folder: any other path is answered
// kNotOpened or shown nothing. REQUIRES: a call first thing in a single-threaded process, before
// the process holds anything or gives up any right. On Windows, the shell (ShellExecuteExW,
// SHOpenFolderAndSelectItems) on a worker thread per call, waited for as long as the launcher on
// Linux.
std::unique_ptr<Desktop> makeSystemDesktop();

}  // namespace tamberlo

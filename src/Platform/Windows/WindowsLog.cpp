// The system's log on Windows: standard error, and the debugger's output.
//
// Not the event log: writing under a source of our own needs that source registered in the
// registry's HKLM hive, which takes an administrator's install, and without it every event reads
// as an unknown source's. The debugger's output (OutputDebugStringW) needs nothing: DebugView or
// an attached debugger shows the lines, and it costs next to nothing when nobody listens.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <string>

#include "Platform/Logger.h"
#include "Platform/Streams.h"
#include "Platform/Windows/Utf16.h"

namespace tamberlo {
namespace {

// Lines go to standard error as makeStderrSink writes them, and each one at once to the
// debugger's output, in the same form.
class DebugOutputSink : public LogSink {
 public:
  DebugOutputSink() : stderr_(makeStderrSink()) {}

  void write(LogLevel level, std::string_view subsystem, std::string_view category,
             std::string_view line) override {
    stderr_->write(level, subsystem, category, line);
    std::string text;
    appendLogLine(text, level, subsystem, category, line);
    if (std::optional<std::wstring> wide = toUtf16(text)) ::OutputDebugStringW(wide->c_str());
  }

  void flush() override { stderr_->flush(); }

 private:
  std::unique_ptr<LogSink> stderr_;
};

}  // namespace

// Standard error in binary mode: lines end in "\n" as on every OS, not in "\r\n".
std::unique_ptr<LogSink> makeSystemSink() {
  ::_setmode(kStandardError, _O_BINARY);
  return std::make_unique<DebugOutputSink>();
}

}  // namespace tamberlo

// The system log. Lines are written with a fixed level and a format whose arguments are marked
// public or private ("%{public}s", "%{private}s", "%{public}llu"); private values never leave the
// process and read "<private>" wherever the line goes.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace tamberlo {

enum class LogLevel { kInfo, kError };

// One argument of a log line. The placeholder in the format decides whether it is shown. Text is
// held by reference: the argument must outlive the call that logs it, as a temporary in the call's
// own argument list does. A private value may be given as a function that makes it; a private value
// is never shown, so the function is never called (serializing a whole message only to print
// "<private>" costs more than answering it).
class LogArg {
 public:
  LogArg(std::string_view text) : text_(text) {}
  LogArg(const std::string& text) : text_(text) {}
  LogArg(const char* text) : text_(text) {}
  LogArg(uint64_t number) : number_(number), isNumber_(true) {}
  template <typename Make>
  requires std::is_invocable_r_v<std::string, Make&> LogArg(Make&& make)
      : make_(std::forward<Make>(make)) {}

  // Appends the argument as text to `line`.
  void appendTo(std::string& line) const;

 private:
  std::string_view text_;
  uint64_t number_ = 0;
  bool isNumber_ = false;
  std::function<std::string()> make_;
};

// Where finished lines go. A sink receives the line with private values already hidden.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // Takes one finished line at `level`; may hold it until flush(). Never fails: a line the
  // sink cannot deliver is dropped.
  virtual void write(LogLevel level, std::string_view subsystem, std::string_view category,
                     std::string_view line) = 0;
  // Hands on whatever lines the sink still holds. A sink may hold lines back between flushes,
  // to write a burst of them at once; it hands them on when destroyed at the latest.
  virtual void flush() {}
};

// Appends one line as standard error shows it: "<subsystem> <category> <level>: <line>" and a
// line end, every control character of `line` escaped ("\n", "\x1b") and each backslash doubled:
// whatever a value holds, the line stays one line and reads back unambiguously.
void appendLogLine(std::string& out, LogLevel level, std::string_view subsystem,
                   std::string_view category, std::string_view line);
// One line per event on standard error: "<subsystem> <category> <level>: <line>". Lines are held
// until flush() or until they fill a pipe's worth (64 KiB): a run of small messages costs one
// write, not one each.
std::unique_ptr<LogSink> makeStderrSink();
// The system's log: on Linux the journal when its socket exists and libsystemd loads, else
// standard error; on Windows standard error and the debugger's output (OutputDebugStringW).
std::unique_ptr<LogSink> makeSystemSink();

class Logger {
 public:
  // A null `sink` makes a logger that drops every line.
  Logger(std::string subsystem, std::string category, std::unique_ptr<LogSink> sink);

  // Logs the line that render() makes of `format` and `args`, at info or error level. Never
  // fails.
  void info(std::string_view format, std::initializer_list<LogArg> args = {});
  void error(std::string_view format, std::initializer_list<LogArg> args = {});

  // The line that `format` and `args` make, as the sinks receive it. Placeholders without an
  // argument are left as they stand; arguments without a placeholder are dropped.
  static std::string render(std::string_view format, std::initializer_list<LogArg> args);

  // Hands on the lines the sink holds. Ordering requirement: the host calls it before each batch of
  // replies goes out; a request's log lines then never come later than its reply.
  void flush();

 private:
  void emit(LogLevel level, std::string_view format, std::initializer_list<LogArg> args);

  std::string subsystem_;
  std::string category_;
  std::unique_ptr<LogSink> sink_;
};

}  // namespace tamberlo

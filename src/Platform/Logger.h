// The system log. Lines are written with a fixed level and a format whose arguments are marked
// public or private ("%{public}s", "%{private}s", "%{public}llu"); private values never leave the
// process and read "<private>" wherever the line goes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tamberlo {

enum class LogLevel { kInfo, kError };

// One argument of a log line. The placeholder in the format decides whether it is shown.
class LogArg {
 public:
  LogArg(std::string_view text) : text_(text) {}
  LogArg(const std::string& text) : text_(text) {}
  LogArg(const char* text) : text_(text) {}
  LogArg(uint64_t number) : text_(std::to_string(number)) {}

  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Where finished lines go. A sink receives the line with private values already hidden.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void write(LogLevel level, std::string_view subsystem, std::string_view category,
                     std::string_view line) = 0;
};

// The systemd journal: priority info or error, the subsystem as identifier, the category as a
// field of its own.
std::unique_ptr<LogSink> makeJournalSink();
// One line per event on standard error: "<subsystem> <category> <level>: <line>".
std::unique_ptr<LogSink> makeStderrSink();
// The journal when its socket exists, else standard error.
std::unique_ptr<LogSink> makeSystemSink();

// Keeps every line in memory, for tests that assert exact log lines.
class CapturingSink : public LogSink {
 public:
  struct Line {
    LogLevel level;
    std::string text;
    bool operator==(const Line&) const = default;
  };
  void write(LogLevel level, std::string_view subsystem, std::string_view category,
             std::string_view line) override;
  const std::vector<Line>& lines() const { return lines_; }
  void clear() { lines_.clear(); }

 private:
  std::vector<Line> lines_;
};

class Logger {
 public:
  Logger(std::string subsystem, std::string category, std::unique_ptr<LogSink> sink);

  void info(std::string_view format, std::initializer_list<LogArg> args = {});
  void error(std::string_view format, std::initializer_list<LogArg> args = {});

  // The line that `format` and `args` make, as the sinks receive it. Placeholders without an
  // argument are left as they stand; arguments without a placeholder are dropped.
  static std::string render(std::string_view format, std::initializer_list<LogArg> args);

 private:
  void emit(LogLevel level, std::string_view format, std::initializer_list<LogArg> args);

  std::string subsystem_;
  std::string category_;
  std::unique_ptr<LogSink> sink_;
};

}  // namespace tamberlo

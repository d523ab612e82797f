#include "Platform/Logger.h"

#include <charconv>
#include <cstdio>
#include <string>

#include "Platform/Streams.h"

namespace tamberlo {

Logger::Logger(std::string subsystem, std::string category, std::unique_ptr<LogSink> sink)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(std::move(sink)) {}

void LogArg::appendTo(std::string& line) const {
  if (isNumber_) {
    char digits[20];
    auto end = std::to_chars(digits, digits + sizeof digits, number_).ptr;
    line.append(digits, end);
  } else if (make_) {
    line.append(make_());
  } else {
    line.append(text_);
  }
}

void Logger::info(std::string_view format, std::initializer_list<LogArg> args) {
  emit(LogLevel::kInfo, format, args);
}

void Logger::error(std::string_view format, std::initializer_list<LogArg> args) {
  emit(LogLevel::kError, format, args);
}

void Logger::emit(LogLevel level, std::string_view format, std::initializer_list<LogArg> args) {
  if (sink_) sink_->write(level, subsystem_, category_, render(format, args));
}

std::string Logger::render(std::string_view format, std::initializer_list<LogArg> args) {
  std::string line;
  line.reserve(format.size() + 32);
  const LogArg* next = args.begin();
  size_t i = 0;
  while (i < format.size()) {
    size_t percent = format.find('%', i);
    if (percent == std::string_view::npos) {
      line.append(format.substr(i));
      break;
    }
    line.append(format.substr(i, percent - i));
    std::string_view rest = format.substr(percent);
    // A placeholder: "%{public}" or "%{private}" followed by a conversion ("s" or "llu").
    size_t close = rest.starts_with("%{") ? rest.find('}') : std::string_view::npos;
    if (close == std::string_view::npos) {
      line += '%';
      i = percent + 1;
      continue;
    }
    std::string_view privacy = rest.substr(2, close - 2);
    std::string_view afterBrace = rest.substr(close + 1);
    size_t conversion = afterBrace.starts_with("llu") ? 3 : afterBrace.starts_with("s") ? 1 : 0;
    size_t length = close + 1 + conversion;
    if (conversion == 0 || next == args.end()) {
      line.append(rest.substr(0, length));
    } else {
      if (privacy == "public") {
        next->appendTo(line);
      } else {
        line.append("<private>");
      }
      ++next;
    }
    i = percent + length;
  }
  return line;
}

void Logger::flush() {
  if (sink_) sink_->flush();
}

namespace {

// Appends `text` with every control character written as an escape ("\n", "\x1b", "\u0085" for C1
// controls) and each backslash doubled; everything else is copied as it stands. Invariant: whatever
// a value holds, a line stays one line and reads back unambiguously.
void appendEscaped(std::string& out, std::string_view text) {
  size_t plain = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
              static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (c >= 0x20 && c != 0x7F && c != '\\' && !c1) continue;
    out.append(text.substr(plain, i - plain));
    char escape[8];
    switch (c) {
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\\':
        out.append("\\\\");
        break;
      default:
        if (c1) {
          std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned char>(text[++i]));
        } else {
          std::snprintf(escape, sizeof escape, "\\x%02x", c);
        }
        out.append(escape);
    }
    plain = i + 1;
  }
  out.append(text.substr(plain));
}

}  // namespace

void appendLogLine(std::string& out, LogLevel level, std::string_view subsystem,
                   std::string_view category, std::string_view line) {
  out.append(subsystem).append(" ").append(category);
  out.append(level == LogLevel::kError ? " error: " : " info: ");
  appendEscaped(out, line);
  out.append("\n");
}

namespace {

// Control characters in a line are escaped: a value cannot end its line and forge the next.
class StderrSink : public LogSink {
 public:
  ~StderrSink() override { flush(); }

  void write(LogLevel level, std::string_view subsystem, std::string_view category,
             std::string_view line) override {
    appendLogLine(held_, level, subsystem, category, line);
    if (held_.size() >= kHoldAtMost) flush();
  }

  void flush() override {
    // One write for all held lines: lines of several processes sharing standard error do not
    // interleave within a line. Standard error is the last place to report to: a failed write is
    // dropped.
    static_cast<void>(writeAll(kStandardError, held_));
    held_.clear();
  }

 private:
  // A pipe's capacity: one write of it never blocks on a reader that keeps up.
  static constexpr size_t kHoldAtMost = 64 * 1024;
  std::string held_;
};

}  // namespace

std::unique_ptr<LogSink> makeStderrSink() { return std::make_unique<StderrSink>(); }

}  // namespace tamberlo

// A log sink that keeps every line in memory, for tests that assert exact log lines.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Platform/Logger.h"

namespace tamberlo {

class CapturingSink : public LogSink {
 public:
  struct Line {
    LogLevel level;
    std::string text;
    bool operator==(const Line&) const = default;
  };
  void write(LogLevel level, std::string_view, std::string_view, std::string_view line) override {
    lines_.push_back({level, std::string(line)});
  }
  const std::vector<Line>& lines() const { return lines_; }
  void clear() { lines_.clear(); }

 private:
  std::vector<Line> lines_;
};

}  // namespace tamberlo

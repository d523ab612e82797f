// Transfer messages and their expected replies and log lines, written as tables of steps.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

// Readable failures: replies as JSON text, log lines as their level and text.
namespace boost::json {
inline void PrintTo(const object& reply, std::ostream* out) { *out << serialize(reply); }
}  // namespace boost::json

namespace tamberlo {
inline void PrintTo(const CapturingSink::Line& line, std::ostream* out) {
  *out << (line.level == LogLevel::kError ? "error: " : "info: ") << line.text;
}

namespace json = boost::json;
using Line = CapturingSink::Line;

inline Line info(std::string text) { return {LogLevel::kInfo, std::move(text)}; }
inline Line error(std::string text) { return {LogLevel::kError, std::move(text)}; }

// The log lines of a begin that made its part file. Under Wine, whose volumes keep no streams,
// the file's origin is not marked, and a second line says so.
inline std::vector<Line> begun() {
  std::vector<Line> lines{info("file.write.begin <private>")};
  if (testing::underWine()) {
    lines.push_back(error(
        "file.write.begin: the file's origin is not marked: Cannot mark the file's origin: the "
        "file system keeps no such mark."));
  }
  return lines;
}

inline std::string writeBegin(std::string_view name) {
  return json::serialize(json::object{{"type", "file.write.begin"}, {"name", name}});
}
inline std::string writeChunk(std::string_view part, uint64_t offset, std::string_view bytes) {
  return json::serialize(json::object{{"type", "file.write.chunk"},
                                      {"part", part},
                                      {"offset", offset},
                                      {"data", testing::base64(bytes)}});
}
inline std::string writeEnd(std::string_view part, std::string_view name, uint64_t size) {
  return json::serialize(
      json::object{{"type", "file.write.end"}, {"part", part}, {"name", name}, {"size", size}});
}
inline std::string writeAbort(std::string_view part) {
  return json::serialize(json::object{{"type", "file.write.abort"}, {"part", part}});
}
inline std::string writeStatus(std::string_view part) {
  return json::serialize(json::object{{"type", "file.write.status"}, {"part", part}});
}

// The failure reply and its log line for an error a file operation gave.
inline json::object failed(std::string_view description, bool storage = false) {
  return {{"ok", false}, {"error", description}, {"storage", storage}};
}
inline Line failedLine(std::string_view type, std::string_view description, bool storage = false) {
  return error(std::string(type) + " failed" + (storage ? " (disk full)" : "") + ": " +
               std::string(description));
}
inline constexpr std::string_view kMissing =
    "Cannot open the file for writing: the file does not exist.";
inline constexpr std::string_view kMissingAtEnd =
    "Cannot open the file for reading: the file does not exist.";

// One request, the reply it must get and the log lines it must write (none unless given).
struct Step {
  std::string request;
  json::object reply;
  std::vector<Line> log = {};
};

inline void play(testing::HandlerUnderTest& t, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    t.log->clear();
    EXPECT_EQ(t.answer(step.request), step.reply) << step.request;
    EXPECT_EQ(t.lines(), step.log) << step.request;
  }
}

}  // namespace tamberlo

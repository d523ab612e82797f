// The systemd journal as a log sink: its native protocol over a datagram socket that the sink
// connects once, so that every line is sent without an address.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Platform/Logger.h"

namespace tamberlo {

// Where journald takes native log entries.
inline constexpr std::string_view kJournalSocket = "/run/systemd/journal/socket";

class JournalSink : public LogSink {
 public:
  // Connects a local datagram socket to `socketPath`. When that fails (no journal there),
  // connected() is false and every line is dropped.
  explicit JournalSink(const std::string& socketPath);
  ~JournalSink() override;
  JournalSink(const JournalSink&) = delete;
  JournalSink& operator=(const JournalSink&) = delete;

  bool connected() const { return socket_ >= 0; }
  // The connected socket's descriptor, or -1.
  int descriptor() const { return socket_; }

  // Sends one entry: MESSAGE (`line`), PRIORITY (3 for errors, else 6), SYSLOG_IDENTIFIER
  // (`subsystem`) and TAMBERLO_CATEGORY (`category`). A value holding a line end is sent in the
  // protocol's binary form. An entry the journal refuses (too large, the journal gone) is
  // dropped.
  void write(LogLevel level, std::string_view subsystem, std::string_view category,
             std::string_view line) override;

 private:
  int socket_ = -1;
};

// The journal entry for the fields, as the native protocol writes it: "NAME=value\n", or, for a
// value holding "\n", "NAME\n", its length as 64-bit little-endian, the value and "\n".
std::string journalEntry(const std::vector<std::pair<std::string_view, std::string_view>>& fields);

// The descriptor of the system journal's socket that makeSystemSink() sinks write through, when
// the process has one; connected at the first makeSystemSink() and kept to the end.
std::optional<int> systemJournalDescriptor();

}  // namespace tamberlo

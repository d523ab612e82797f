// The systemd journal as the log's sink, and the choice of the system's sink on Linux.
#include "Platform/Linux/JournalSink.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace tamberlo {

JournalSink::JournalSink(const std::string& socketPath) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (socketPath.size() >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
  int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return;
  }
  socket_ = fd;
}

JournalSink::~JournalSink() {
  if (socket_ >= 0) ::close(socket_);
}

std::string journalEntry(const std::vector<std::pair<std::string_view, std::string_view>>& fields) {
  std::string entry;
  for (const auto& [name, value] : fields) {
    entry += name;
    if (value.find('\n') == std::string_view::npos) {
      entry += '=';
    } else {
      entry += '\n';
      for (int byte = 0; byte < 8; ++byte) {
        entry += static_cast<char>((static_cast<uint64_t>(value.size()) >> (8 * byte)) & 0xff);
      }
    }
    entry += value;
    entry += '\n';
  }
  return entry;
}

void JournalSink::write(LogLevel level, std::string_view subsystem, std::string_view category,
                        std::string_view line) {
  if (socket_ < 0) return;
  std::string priority = std::to_string(level == LogLevel::kError ? LOG_ERR : LOG_INFO);
  std::string entry = journalEntry({{"MESSAGE", line},
                                    {"PRIORITY", priority},
                                    {"SYSLOG_IDENTIFIER", subsystem},
                                    {"TAMBERLO_CATEGORY", category}});
  // No address: the socket's peer is the only place a line can go.
  ::send(socket_, entry.data(), entry.size(), MSG_NOSIGNAL);
}

namespace {

// The system journal's connection, made at the first makeSystemSink() and kept to the end of the
// process: every sink made for the journal writes through it, and the call filter knows its
// descriptor.
std::optional<JournalSink>& systemJournal() {
  static std::optional<JournalSink> journal;
  return journal;
}

// A sink that writes through the system journal's connection.
class SystemJournalSink : public LogSink {
 public:
  void write(LogLevel level, std::string_view subsystem, std::string_view category,
             std::string_view line) override {
    systemJournal()->write(level, subsystem, category, line);
  }
};

}  // namespace

std::optional<int> systemJournalDescriptor() {
  if (!systemJournal() || !systemJournal()->connected()) return std::nullopt;
  return systemJournal()->descriptor();
}

std::unique_ptr<LogSink> makeSystemSink() {
  if (!systemJournal()) systemJournal().emplace(std::string(kJournalSocket));
  if (systemJournal()->connected()) return std::make_unique<SystemJournalSink>();
  return makeStderrSink();
}

}  // namespace tamberlo

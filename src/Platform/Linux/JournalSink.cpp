// The systemd journal as the log's sink, and the choice of the system's sink on Linux.
#include <dlfcn.h>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <string>

#include "Platform/Logger.h"

namespace tamberlo {
namespace {

// Writes through sd_journal_sendv, found in libsystemd at run time: a host that logs to
// standard error never loads the library and the five it pulls in, which would be most of the
// start-up of a host started for one message.
class JournalSink : public LogSink {
 public:
  using Send = decltype(&sd_journal_sendv);
  explicit JournalSink(Send send) : send_(send) {}

  void write(LogLevel level, std::string_view subsystem, std::string_view category,
             std::string_view line) override {
    std::string message = "MESSAGE=" + std::string(line);
    std::string priority =
        "PRIORITY=" + std::to_string(level == LogLevel::kError ? LOG_ERR : LOG_INFO);
    std::string identifier = "SYSLOG_IDENTIFIER=" + std::string(subsystem);
    std::string categoryField = "TAMBERLO_CATEGORY=" + std::string(category);
    struct iovec fields[] = {
        {message.data(), message.size()},
        {priority.data(), priority.size()},
        {identifier.data(), identifier.size()},
        {categoryField.data(), categoryField.size()},
    };
    send_(fields, 4);
  }

 private:
  Send send_;
};

// The journal's sink, or nothing when libsystemd cannot be loaded.
std::unique_ptr<LogSink> makeJournalSink() {
  // Loaded once and kept to the end of the process: the sink may be made again (in tests).
  static JournalSink::Send send = []() -> JournalSink::Send {
    void* library = ::dlopen("libsystemd.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    return reinterpret_cast<JournalSink::Send>(::dlsym(library, "sd_journal_sendv"));
  }();
  if (send == nullptr) return nullptr;
  return std::make_unique<JournalSink>(send);
}

}  // namespace

std::unique_ptr<LogSink> makeSystemSink() {
  if (::access("/run/systemd/journal/socket", W_OK) == 0) {
    if (std::unique_ptr<LogSink> journal = makeJournalSink()) return journal;
  }
  return makeStderrSink();
}

}  // namespace tamberlo

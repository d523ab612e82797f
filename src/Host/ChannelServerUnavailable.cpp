// Where the channel's server is not built (Windows, for now): every host refuses
// file.write.channel, and transfers go as chunk messages.
#include "Host/ChannelServer.h"

namespace tamberlo {

class ChannelServer::Impl {};

Result<std::unique_ptr<ChannelServer>> ChannelServer::make(FileSystem&, std::string,
                                                           ChannelRules::Callers,
                                                           std::unique_ptr<LogSink>) {
  return Error{ErrorKind::kOther, "no channel on this system", 0};
}

ChannelServer::ChannelServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChannelServer::~ChannelServer() = default;
int ChannelServer::descriptor() const { return -1; }
Result<ChannelAddress> ChannelServer::open() {
  return Error{ErrorKind::kOther, "no channel on this system", 0};
}

}  // namespace tamberlo

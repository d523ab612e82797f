// A second way in for the bytes of a transfer: a channel beside the native messages (on Linux a
// WebSocket on a loopback port), which the host offers on request. The handler knows only this
// interface; the host's start-up picks the implementation.
#pragma once

#include <memory>
#include <string>

#include "Platform/Error.h"

namespace tamberlo {

// Where and how a caller reaches the channel.
struct ChannelAddress {
  std::string url;    // "ws://127.0.0.1:PORT/"
  std::string token;  // 64 hex digits, the same for the whole life of the host
};

class BulkChannel {
 public:
  virtual ~BulkChannel() = default;
  // Starts serving the channel if it does not serve yet, and says where it is. May be called
  // any number of times; every call answers with the same address once one succeeded. Fails
  // with a short public description when there is no channel here. Never throws.
  virtual Result<ChannelAddress> open() = 0;
};

// A channel that refuses every open() with `reason`: for tests, and where the OS or the caller
// has none.
std::unique_ptr<BulkChannel> makeRefusingChannel(std::string reason);

}  // namespace tamberlo

// The channel: a WebSocket server on a loopback port through which a transfer's bytes reach its
// part file without the native messages' base64 and JSON. One connection writes one part file;
// only the host's own caller, holding the host's token, gets one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "Extension/BulkChannel.h"
#include "Platform/FileSystem.h"
#include "Platform/Logger.h"

namespace tamberlo {

// The pure rules of who may use the channel.
namespace ChannelRules {

inline constexpr size_t kMaxConnections = 8;
inline constexpr size_t kMaxMessageBytes = 64 * 1024 * 1024;
// The first message names a part file: no more than this, read before the token is checked.
inline constexpr size_t kMaxFirstMessageBytes = 4096;
// The part file's size is acknowledged after this many bytes written, also within a message,
// and at the end of every message.
inline constexpr uint64_t kAcknowledgeBytes = 4 * 1024 * 1024;

// How long a connection may take: to finish its upgrade and handshake, and between two reads of
// its bytes once it writes. Tests shorten them.
struct Timeouts {
  std::chrono::milliseconds handshake = std::chrono::seconds(10);
  std::chrono::milliseconds idle = std::chrono::seconds(60);
};

// The extension origins that may open a connection, told by the arguments a browser starts the
// host with (those after the program's name): Chromium passes the caller's origin
// ("chrome-extension://ID/"), which is then the only one; Firefox passes a manifest path and an
// add-on ID, and then any moz-extension:// origin counts (Firefox gives each installation a
// random one, which the host cannot know). Anything else names no caller.
struct Callers {
  std::optional<std::string> exact;  // without the trailing "/", as browsers send it
  bool anyMozExtension = false;
  bool known() const { return exact.has_value() || anyMozExtension; }
};
Callers callersFrom(std::span<const std::string_view> arguments);

// True when a request's Origin header `origin` is one of `callers`. Web origins (http, https,
// "null") and an empty one never are.
bool originAllowed(const Callers& callers, std::string_view origin);

// True when `given` is `token`, taking the same time whatever their common prefix.
bool tokenMatches(std::string_view given, std::string_view token);

}  // namespace ChannelRules

class ChannelServer : public BulkChannel {
 public:
  // Makes the listening socket bound to 127.0.0.1, port 0 (the OS picks one), and the token.
  // Nothing listens until open(). Call before the process confines itself: the socket and the
  // event loop's descriptors are made here. Connections write part files in `folder` through
  // `files` (which must outlive the server) and log to `sink`. Fails when no socket can be made.
  static Result<std::unique_ptr<ChannelServer>> make(FileSystem& files, std::string folder,
                                                     ChannelRules::Callers callers,
                                                     std::unique_ptr<LogSink> sink,
                                                     ChannelRules::Timeouts timeouts = {});
  // Stops the channel's thread, closing the listener and every connection.
  ~ChannelServer() override;

  // The bound socket's descriptor, for the Linux sandbox's grant; -1 on Windows, whose sockets
  // are handles and whose host has no such sandbox.
  int descriptor() const;

  // The first call listens and starts the channel's thread, which from then on owns every
  // connection; later calls answer the same address. Call from one thread only.
  Result<ChannelAddress> open() override;

  class Impl;

 private:
  explicit ChannelServer(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace tamberlo

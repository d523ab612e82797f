// The channel's server: Boost.Beast over Boost.Asio, one thread that owns the event loop, the
// listener and every connection. The native-messaging thread only calls open(), once listening
// has begun it never touches the loop again; the two share the file system (whose calls keep no
// state) and nothing else: the channel logs through a logger and sink of its own.
#include "Host/ChannelServer.h"

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <random>
#include <thread>

#include "Extension/MessageTypes.h"
#include "Extension/PartWriter.h"
#include "Extension/Replies.h"
#include "Extension/SafariWebExtensionHandler.h"

namespace tamberlo {
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace json = boost::json;
using tcp = net::ip::tcp;

namespace {

// 32 random bytes as 64 lower-case hex digits.
std::string newToken() {
  std::random_device random;
  std::string token;
  constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 8; ++i) {
    uint32_t word = random();
    for (int nibble = 0; nibble < 8; ++nibble) token += kHex[(word >> (4 * nibble)) & 0xf];
  }
  return token;
}

std::string serialized(const json::object& reply) { return json::serialize(reply); }

}  // namespace

class ChannelServer::Impl {
 public:
  Impl(FileSystem& files, std::string folder, ChannelRules::Callers callers,
       std::unique_ptr<LogSink> sink, ChannelRules::Timeouts timeouts)
      : files_(files),
        folder_(std::move(folder)),
        callers_(std::move(callers)),
        timeouts_(timeouts),
        log_(std::string(kLogSubsystem), "channel", std::move(sink)),
        token_(newToken()) {}

  ~Impl() {
    io_.stop();
    if (thread_.joinable()) thread_.join();
  }

  Status bind() {
    beast::error_code error;
    acceptor_.open(tcp::v4(), error);
    if (!error) acceptor_.bind(tcp::endpoint(net::ip::address_v4::loopback(), 0), error);
    if (!error) port_ = acceptor_.local_endpoint(error).port();
    if (error) return Error{ErrorKind::kOther, "Cannot make the channel's socket", error.value()};
    host_ = "127.0.0.1:" + std::to_string(port_);
    return success();
  }

  int descriptor() {
#ifdef _WIN32
    return -1;
#else
    return acceptor_.native_handle();
#endif
  }

  Result<ChannelAddress> open() {
    if (!address_) {
      beast::error_code error;
      acceptor_.listen(static_cast<int>(ChannelRules::kMaxConnections), error);
      if (error) return Error{ErrorKind::kOther, "cannot listen on the channel", error.value()};
      accept();
      thread_ = std::thread([this] { serve(); });
      address_ = ChannelAddress{"ws://" + host_ + "/", token_};
    }
    return *address_;
  }

  // Runs on the channel's thread from here on.
  void serve() {
    log_.info("channel: listening on port %{public}llu", {static_cast<uint64_t>(port_)});
    log_.flush();
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception& e) {
        log_.error("channel: %{public}s", {e.what()});
        log_.flush();
      }
    }
  }

  void accept();

  FileSystem& files_;
  const std::string folder_;
  const ChannelRules::Callers callers_;
  const ChannelRules::Timeouts timeouts_;
  Logger log_;
  const std::string token_;
  size_t live_ = 0;  // the channel thread's; declared before the loop, whose end ends connections
  net::io_context io_{1};
  tcp::acceptor acceptor_{io_};
  uint16_t port_ = 0;
  std::string host_;
  std::optional<ChannelAddress> address_;  // the native-messaging thread's
  std::thread thread_;
};

namespace {

// One connection: the HTTP upgrade, the first text message that names the part file, then the
// part file's bytes, acknowledged.
class Connection : public std::enable_shared_from_this<Connection> {
  // The most a connection writes at once, and so the most its buffer holds.
  static constexpr size_t kWriteBytes = 1024 * 1024;

 public:
  Connection(tcp::socket socket, ChannelServer::Impl& server)
      : ws_(std::move(socket)), server_(server) {
    ++server_.live_;
  }
  ~Connection() { --server_.live_; }

  void start() {
    parser_.header_limit(8 * 1024);
    ws_.next_layer().expires_after(server_.timeouts_.handshake);
    http::async_read(ws_.next_layer(), buffer_, parser_,
                     [self = shared_from_this()](beast::error_code error, size_t) {
                       if (!error) self->upgrade();
                     });
  }

 private:
  // Only a GET upgrade to the host's own address from its caller's origin goes on; anything
  // else is closed without an answer.
  void upgrade() {
    const http::request<http::empty_body>& request = parser_.get();
    std::string_view refusal;
    if (request.method() != http::verb::get || !websocket::is_upgrade(request)) {
      refusal = "not a WebSocket upgrade";
    } else if (request.count(http::field::host) != 1 ||
               request[http::field::host] != server_.host_) {
      refusal = "another host";
    } else if (request.count(http::field::origin) != 1 ||
               !ChannelRules::originAllowed(server_.callers_, request[http::field::origin])) {
      refusal = "another origin";
    }
    if (!refusal.empty()) {
      server_.log_.error("channel: refused a connection: %{public}s", {refusal});
      server_.log_.flush();
      return;
    }
    ws_.next_layer().expires_never();
    websocket::stream_base::timeout timeout{server_.timeouts_.handshake, server_.timeouts_.idle,
                                            false};
    ws_.set_option(timeout);
    ws_.read_message_max(ChannelRules::kMaxFirstMessageBytes);
    // The part file and its lock go before a close is answered: a client that saw the channel
    // close may end the transfer at once. Called only within this connection's own operations.
    ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
      if (kind == websocket::frame_type::close) writer_.reset();
    });
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
      if (!error) self->readFirst();
    });
  }

  // The first message, whole: it names the part file.
  void readFirst() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, size_t) {
      if (!error) self->first();
    });
  }

  // The part file's bytes, as they come: what arrived is written once a write's worth is in or
  // the message ended, so a message of any allowed size is written (and acknowledged) as it goes.
  void readBytes() {
    ws_.async_read_some(buffer_, kWriteBytes - buffer_.size(),
                        [self = shared_from_this()](beast::error_code error, size_t) {
                          if (!error) self->take();
                        });
  }

  void take() {
    if (ws_.got_text()) return refuse(Replies::refused("bytes expected"));
    bool ended = ws_.is_message_done();
    if (!ended && buffer_.size() < kWriteBytes) return readBytes();
    auto data = buffer_.cdata();
    std::span<const uint8_t> bytes(static_cast<const uint8_t*>(data.data()), data.size());
    Status written = writer_->append(bytes);
    unacknowledged_ += bytes.size();
    buffer_.consume(buffer_.size());
    if (!written) {
      return refuse(Replies::failure(server_.log_, MessageType::kChannel, written.error()));
    }
    if (ended || unacknowledged_ >= ChannelRules::kAcknowledgeBytes) return acknowledge();
    readBytes();
  }

  // {"token": TOKEN, "part": PART, "offset": N}
  void first() {
    if (!ws_.got_text()) return refuse(Replies::refused("bad first message"));
    beast::error_code error;
    json::value message = json::parse(beast::buffers_to_string(buffer_.cdata()), error);
    buffer_.consume(buffer_.size());
    const json::object* fields = error ? nullptr : message.if_object();
    const json::string* token = fields ? Replies::text(*fields, "token") : nullptr;
    const json::string* part = fields ? Replies::text(*fields, "part") : nullptr;
    std::optional<uint64_t> offset =
        fields ? Replies::wholeNumber(fields->if_contains("offset")) : std::nullopt;
    if (token == nullptr || part == nullptr || !offset) {
      return refuse(Replies::refused("bad first message"));
    }
    if (!ChannelRules::tokenMatches(token->subview(), server_.token_)) {
      server_.log_.error("channel: refused a connection: %{public}s", {"wrong token"});
      return refuse(Replies::refused("wrong token"));
    }
    Result<std::unique_ptr<PartWriter>> writer =
        PartWriter::open(server_.files_, server_.folder_, part->subview(), *offset);
    if (!writer) {
      return refuse(Replies::failure(server_.log_, MessageType::kChannel, writer.error()));
    }
    writer_ = std::move(*writer);
    ws_.read_message_max(ChannelRules::kMaxMessageBytes);
    server_.log_.info("channel: writing %{private}s", {std::string_view(part->subview())});
    server_.log_.flush();
    // Reads take what fits the buffer's room: all of a write's worth, from now on.
    buffer_.reserve(kWriteBytes);
    acknowledge();
  }

  // {"ok": true, "size": S}, then more bytes.
  void acknowledge() {
    unacknowledged_ = 0;
    reply_ = serialized({{"ok", true}, {"size", writer_->size()}});
    ws_.text(true);
    ws_.async_write(net::buffer(reply_),
                    [self = shared_from_this()](beast::error_code error, size_t) {
                      if (!error) self->readBytes();
                    });
  }

  // Sends `reply` and closes with it as the reason (when it fits a close frame).
  void refuse(const json::object& reply) {
    server_.log_.flush();
    reply_ = serialized(reply);
    ws_.text(true);
    ws_.async_write(net::buffer(reply_),
                    [self = shared_from_this()](beast::error_code error, size_t) {
                      if (error) return;
                      websocket::close_reason reason(websocket::close_code::policy_error);
                      if (self->reply_.size() <= websocket::reason_string::static_capacity) {
                        reason.reason = self->reply_;
                      }
                      self->ws_.async_close(reason, [self](beast::error_code) {});
                    });
  }

  websocket::stream<beast::tcp_stream> ws_;
  ChannelServer::Impl& server_;
  beast::flat_buffer buffer_;
  http::request_parser<http::empty_body> parser_;
  std::unique_ptr<PartWriter> writer_;
  uint64_t unacknowledged_ = 0;  // bytes written since the last acknowledgement
  std::string reply_;
};

}  // namespace

void ChannelServer::Impl::accept() {
  acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted) return;
    if (!error) {
      if (live_ < ChannelRules::kMaxConnections) {
        std::make_shared<Connection>(std::move(socket), *this)->start();
      } else {
        log_.error("channel: refused a connection: %{public}s", {"too many connections"});
        log_.flush();
      }
    }
    accept();
  });
}

Result<std::unique_ptr<ChannelServer>> ChannelServer::make(FileSystem& files, std::string folder,
                                                           ChannelRules::Callers callers,
                                                           std::unique_ptr<LogSink> sink,
                                                           ChannelRules::Timeouts timeouts) {
  auto impl = std::make_unique<Impl>(files, std::move(folder), std::move(callers), std::move(sink),
                                     timeouts);
  if (Status bound = impl->bind(); !bound) return bound.error();
  return std::unique_ptr<ChannelServer>(new ChannelServer(std::move(impl)));
}

ChannelServer::ChannelServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ChannelServer::~ChannelServer() = default;
int ChannelServer::descriptor() const { return impl_->descriptor(); }
Result<ChannelAddress> ChannelServer::open() { return impl_->open(); }

}  // namespace tamberlo

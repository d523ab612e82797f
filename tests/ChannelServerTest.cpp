// The channel's server on every OS, with its timeouts shortened: a connection that stalls is
// closed no sooner and not much later than its limit, one that keeps sending is not, and a long
// message is written and acknowledged as it arrives. Who may connect, and what the first message
// must say, are checked against the real host by the client library's tests.
#include <gtest/gtest.h>

#include <array>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <chrono>
#include <functional>
#include <thread>

#include "Host/ChannelServer.h"
#include "support/CapturingSink.h"
#include "support/TestSupport.h"

namespace tamberlo {
namespace {

using testing::FakeHome;
using testing::HostProcess;
using testing::readFile;
using testing::writeFile;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kHandshake{300};
constexpr milliseconds kIdle{600};
// Far beyond either limit: a connection still open then was never going to be closed.
constexpr milliseconds kNever{5000};
constexpr size_t kMiB = 1024 * 1024;
using Socket = websocket::stream<tcp::socket>;

// The size in the next acknowledgement.
uint64_t nextSize(Socket& ws) {
  beast::flat_buffer reply;
  ws.read(reply);
  boost::json::value ack = boost::json::parse(beast::buffers_to_string(reply.data()));
  EXPECT_EQ(ack.at("ok"), true) << beast::buffers_to_string(reply.data());
  return ack.at("size").to_number<uint64_t>();
}

// A WebSocket from `origin` to the channel at `port` through the upgrade, its first message sent
// for `part` (empty) and answered.
std::unique_ptr<Socket> writerOf(net::io_context& io, uint16_t port, std::string origin,
                                 const std::string& token, const std::string& part) {
  auto ws = std::make_unique<Socket>(io);
  ws->next_layer().connect({net::ip::address_v4::loopback(), port});
  ws->set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
    request.set(beast::http::field::origin, origin);
  }));
  ws->handshake("127.0.0.1:" + std::to_string(port), "/");
  ws->text(true);
  ws->write(net::buffer(boost::json::serialize(
      boost::json::object{{"token", token}, {"part", part}, {"offset", 0}})));
  EXPECT_EQ(nextSize(*ws), 0u);
  ws->binary(true);
  return ws;
}

// The port of "ws://127.0.0.1:PORT/".
uint16_t portOf(std::string_view url) {
  return static_cast<uint16_t>(std::stoi(std::string(url.substr(15, url.size() - 16))));
}

class ChannelServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ChannelRules::Callers callers;
    callers.anyMozExtension = true;
    auto made = ChannelServer::make(*files_, home_.downloads(), callers,
                                    std::make_unique<CapturingSink>(), {kHandshake, kIdle});
    ASSERT_TRUE(made) << made.error().description;
    server_ = std::move(*made);
    auto address = server_->open();
    ASSERT_TRUE(address);
    address_ = *address;
    port_ = portOf(address_.url);
  }

  tcp::endpoint endpoint() const { return {net::ip::address_v4::loopback(), port_}; }

  std::unique_ptr<Socket> writerOf(const std::string& part) {
    return tamberlo::writerOf(io_, port_, "moz-extension://test", address_.token, part);
  }

  // How long the server took to close `socket`, which sends nothing more; kNever when it stayed
  // open that long.
  milliseconds closedAfter(tcp::socket& socket, Clock::time_point since) {
    std::array<char, 256> into;
    bool closed = false;
    std::function<void(beast::error_code, size_t)> drain = [&](beast::error_code error, size_t) {
      if (error) {
        closed = true;
        return;
      }
      socket.async_read_some(net::buffer(into), drain);
    };
    socket.async_read_some(net::buffer(into), drain);
    io_.restart();
    io_.run_for(kNever);
    if (!closed) return kNever;
    return std::chrono::duration_cast<milliseconds>(Clock::now() - since);
  }

  FakeHome home_;
  std::unique_ptr<FileSystem> files_ = makeSystemFileSystem();
  std::unique_ptr<ChannelServer> server_;
  ChannelAddress address_;
  uint16_t port_ = 0;
  net::io_context io_;
};

TEST_F(ChannelServerTest, AStalledConnectionIsClosedAtItsLimitAndOneThatSendsStaysOpen) {
  writeFile(home_ / "a.bin.part", "");
  writeFile(home_ / "b.bin.part", "");
  // Connected, the upgrade never sent.
  Clock::time_point start = Clock::now();
  tcp::socket silent(io_);
  silent.connect(endpoint());
  milliseconds waited = closedAfter(silent, start);
  EXPECT_GE(waited, kHandshake);
  EXPECT_LT(waited, kNever);

  // Writing, then quiet. The clock starts before the connection: the server arms its idle timer
  // while the client is still finishing the upgrade, so a later start would see it fire early.
  start = Clock::now();
  auto quiet = writerOf("a.bin.part");
  waited = closedAfter(quiet->next_layer(), start);
  EXPECT_GE(waited, kIdle);
  EXPECT_LT(waited, kNever);

  // Sending more often than the idle limit, for three times as long: every piece is taken.
  auto busy = writerOf("b.bin.part");
  std::string piece(1000, 'x');
  for (uint64_t sent = piece.size(); sent <= 9 * piece.size(); sent += piece.size()) {
    std::this_thread::sleep_for(kIdle / 3);
    busy->write(net::buffer(piece));
    EXPECT_EQ(nextSize(*busy), sent);
  }
  EXPECT_EQ(readFile(home_ / "b.bin.part").size(), 9 * piece.size());
}

TEST_F(ChannelServerTest, ALongMessageIsAcknowledgedEveryFourMebibytesAsItIsWritten) {
  writeFile(home_ / "long.bin.part", "");
  auto ws = writerOf("long.bin.part");
  std::string bytes(10 * kMiB + 5, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
  ws->write(net::buffer(bytes));
  std::vector<uint64_t> sizes;
  while (sizes.empty() || sizes.back() < bytes.size()) sizes.push_back(nextSize(*ws));
  EXPECT_EQ(sizes, (std::vector<uint64_t>{4 * kMiB, 8 * kMiB, bytes.size()}));
  EXPECT_EQ(readFile(home_ / "long.bin.part"), bytes);
}

// The real host, over its pipe: it offers the channel only to the caller the browser started it
// for, with a token of its own, and what comes through the channel is saved by a native-messaging
// end.
TEST(ChannelHostTest, TheHostOffersItsChannelToItsCallerAndSavesWhatCameThroughIt) {
  const std::string origin = "chrome-extension://abcdefghijklmnopabcdefghijklmnop";
  FakeHome home;
  {
    HostProcess unknown(home.env());
    EXPECT_EQ(unknown.request(R"({"type": "file.write.channel"})"),
              boost::json::parse(R"({"ok": false, "error": "no channel for this caller"})"));
  }
  HostProcess host(home.env(), {origin + "/"});
  boost::json::value offer = host.request(R"({"type": "file.write.channel"})");
  ASSERT_EQ(offer.at("ok"), true) << offer;
  std::string token(offer.at("token").as_string());
  // Each host draws its own token from the system's randomness.
  EXPECT_NE(HostProcess(home.env(), {origin + "/"})
                .request(R"({"type": "file.write.channel"})")
                .at("token"),
            offer.at("token"));
  std::string part(
      host.request(R"({"type": "file.write.begin", "name": "clip.mp4"})").at("part").as_string());
  net::io_context io;
  auto ws = writerOf(io, portOf(offer.at("url").as_string()), origin, token, part);
  ws->write(net::buffer(std::string_view("channel bytes")));
  EXPECT_EQ(nextSize(*ws), 13u);
  ws->close(websocket::close_code::normal);
  EXPECT_EQ(host.request(R"({"type": "file.write.end", "part": ")" + part +
                         R"(", "name": "clip.mp4", "size": 13})"),
            boost::json::parse(R"({"ok": true, "name": "clip.mp4"})"));
  EXPECT_EQ(readFile(home / "clip.mp4"), "channel bytes");
}

}  // namespace
}  // namespace tamberlo

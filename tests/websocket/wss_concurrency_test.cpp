// Sends from many threads at once over wss while the client streams messages
// in: one TLS session is read by the engine's reader and written by every
// sender, and each frame must arrive whole on both sides. Run under
// ThreadSanitizer too (scripts/test --tsan).

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/http/connection.hpp"
#include "ws_test_host.hpp"

namespace vexa {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

constexpr int kSenders = 8;
constexpr int kPerSender = 100;
constexpr int kClientMessages = 300;

// Sizes cover all three length forms of a frame header.
std::string ServerMessage(int sender, int i) {
  const size_t size = i % 10 == 0 ? 66000 + sender : static_cast<size_t>((i * 37 + sender) % 300);
  return "s" + std::to_string(sender) + ":" + std::to_string(i) + ":" +
         std::string(size, static_cast<char>('a' + (sender + i) % 26));
}

std::string ClientMessage(int j) {
  const size_t size = j % 25 == 0 ? 70000 : static_cast<size_t>((j * 53) % 2000);
  return "c" + std::to_string(j) + ":" + std::string(size, static_cast<char>('A' + j % 26));
}

TEST(WssConcurrency, EightSendersAndAStreamingClientShareOneTlsSession) {
  std::mutex lock;
  std::condition_variable cv;
  TWebSocketHandler* handler = nullptr;
  std::latch sendersDone(kSenders);
  std::atomic<int> clientReceived{0};
  std::atomic<int> clientBad{0};
  std::atomic<bool> closed{false};

  TWsEvents events;
  events.OnWsConnect = [&](TWebSocketHandler& h, TConnection&, HttpRequest&, bool secure) {
    EXPECT_TRUE(secure);
    std::lock_guard<std::mutex> g(lock);
    handler = &h;
    cv.notify_all();
  };
  events.OnWsMessage = [&](TConnection&, HttpRequest&, const std::string& text) {
    if (text != ClientMessage(clientReceived.load())) ++clientBad;
    ++clientReceived;
  };
  events.OnWsDisconnect = [&](TConnection&, HttpRequest&) {
    // No sender may still be inside SendMessage once this returns.
    sendersDone.wait();
    closed = true;
  };

  auto serverCtx = test::MakeSelfSignedServerContext();
  test::TWsTestHost host(serverCtx.get(), events);

  // The client: one io_context thread, one read loop and one write chain.
  asio::io_context io;
  asio::ssl::context clientCtx(asio::ssl::context::tls_client);
  clientCtx.set_verify_mode(asio::ssl::verify_none);
  websocket::stream<asio::ssl::stream<asio::ip::tcp::socket>> ws(io, clientCtx);
  websocket::permessage_deflate pmd;
  pmd.client_enable = true;
  pmd.msg_size_threshold = 64;
  ws.set_option(pmd);
  ws.read_message_max(1 << 20);
  asio::ip::tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), host.Port());
  beast::get_lowest_layer(ws).connect(ep);
  ws.next_layer().handshake(asio::ssl::stream_base::client);
  ws.handshake("127.0.0.1", "/");

  std::thread senders[kSenders];
  {
    std::unique_lock<std::mutex> g(lock);
    ASSERT_TRUE(cv.wait_for(g, std::chrono::seconds(10), [&] { return handler != nullptr; }));
  }
  for (int t = 0; t < kSenders; ++t) {
    senders[t] = std::thread([&, t] {
      for (int i = 0; i < kPerSender; ++i) handler->SendMessage(ServerMessage(t, i));
      sendersDone.count_down();
    });
  }

  int nextFrom[kSenders] = {};
  int received = 0, bad = 0;
  std::string firstBad;
  bool writesDone = false, closing = false;
  beast::flat_buffer buffer;
  int written = 0;
  std::string outgoing;
  boost::system::error_code failure;

  std::function<void()> maybeClose = [&] {
    if (closing || !writesDone || received < kSenders * kPerSender) return;
    closing = true;
    // The socket may be gone by the time the TLS teardown runs; what counts
    // is the engine's close frame, checked below.
    ws.async_close(websocket::close_code::normal, [](boost::system::error_code) {});
  };
  std::function<void()> writeNext = [&] {
    if (written == kClientMessages) {
      writesDone = true;
      maybeClose();
      return;
    }
    outgoing = ClientMessage(written++);
    ws.text(true);
    ws.async_write(asio::buffer(outgoing), [&](boost::system::error_code ec, size_t) {
      if (ec) {
        failure = ec;
        return;
      }
      writeNext();
    });
  };
  std::function<void()> readNext = [&] {
    ws.async_read(buffer, [&](boost::system::error_code ec, size_t) {
      if (ec) {
        if (ec != websocket::error::closed) failure = ec;
        return;
      }
      const std::string text = beast::buffers_to_string(buffer.data());
      buffer.consume(buffer.size());
      // "s<t>:<i>:<padding>", in order for each sender, padding intact.
      int t = -1, i = -1;
      if (std::sscanf(text.c_str(), "s%d:%d:", &t, &i) == 2 && t >= 0 && t < kSenders &&
          i == nextFrom[t] && text == ServerMessage(t, i)) {
        ++nextFrom[t];
      } else if (bad++ == 0) {
        firstBad = text.substr(0, 40);
      }
      ++received;
      if (received < kSenders * kPerSender) {
        readNext();
      } else {
        maybeClose();
      }
    });
  };
  readNext();
  writeNext();
  std::thread ioThread([&] { io.run_for(std::chrono::seconds(60)); });
  ioThread.join();
  for (auto& s : senders) s.join();

  EXPECT_FALSE(failure) << failure.message();
  EXPECT_EQ(received, kSenders * kPerSender);
  EXPECT_EQ(bad, 0) << firstBad;
  EXPECT_EQ(clientReceived.load(), kClientMessages);
  EXPECT_EQ(clientBad.load(), 0);
  EXPECT_EQ(ws.reason().code, websocket::close_code::normal);
  // The close was answered: the engine's reader ended and fired the close.
  for (int i = 0; i < 100 && !closed; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_TRUE(closed);
}

}  // namespace
}  // namespace vexa

// The frame engine on one end of a socket pair, driven byte by byte from the
// other end as a browser would.

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <thread>

#include "server/http/connection.hpp"
#include "server/websocket/websocket_handler.hpp"
#include "ws_test_util.hpp"

namespace vexa {
namespace {

using test::ClientFrame;
using test::Hex;
using test::ReadBytes;
using test::WriteAll;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    connection_ = std::make_unique<TConnection>(fds[0], "127.0.0.1");
    client_ = fds[1];
    testing::internal::CaptureStdout();
  }
  void TearDown() override {
    if (handler_) {
      handler_->Disconnect();
      handler_->WaitFor();
    }
    handler_.reset();
    // Failure messages went to the captured output too.
    if (!captured_) {
      const std::string out = testing::internal::GetCapturedStdout();
      if (HasFailure()) std::cout << out;
    }
    ::close(client_);
  }

  void Start(bool deflate, size_t maxSize = TWebSocketHandler::DefaultMaxMessageSize) {
    TWsLimits limits;
    limits.maxMessageSize = maxSize;
    Start(deflate, limits);
  }
  void Start(bool deflate, const TWsLimits& limits) {
    handler_ = std::make_unique<TWebSocketHandler>(*connection_, HttpRequest{}, deflate);
    handler_->SetLimits(limits);
    handler_->OnMessage = [this](TConnection&, HttpRequest&, const std::string& text) {
      if (text == "throw") throw std::runtime_error("handler failed");
      log_.Message(text);
    };
    handler_->OnClose = [this](TConnection&, HttpRequest&) { log_.Close(); };
    handler_->Start();
  }

  // Waits for the reader to end and returns everything it printed.
  std::string Finish() {
    handler_->WaitFor();
    captured_ = true;
    return testing::internal::GetCapturedStdout();
  }

  void Send(const std::string& bytes) { WriteAll(client_, bytes); }

  std::unique_ptr<TConnection> connection_;
  // The limits a test gives the handler may point here: it outlives the
  // handler, which gives its charges back only as TearDown ends it.
  TMemoryBudget budget_{size_t(1) << 30};
  std::unique_ptr<TWebSocketHandler> handler_;
  int client_ = -1;
  test::EventLog log_;
  bool captured_ = false;
};

TEST(WebSocketHandshake, AcceptKeyOfTheProtocolExample) {
  EXPECT_EQ(ComputeWebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
}

TEST(WebSocketHandshake, ReplyHeadersInOrderAndDeflateOnlyForAnAcceptableOffer) {
  HttpRequest request{http::verb::get, "/", 11};
  request.set("sec-websocket-key", "dGhlIHNhbXBsZSBub25jZQ==");  // any letter case
  bool deflate = true;
  EXPECT_EQ(BuildWebSocketReply(request, deflate),
            "HTTP/1.1 101 Switching Protocols\r\n"
            "Connection: Upgrade\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n"
            "Upgrade: websocket\r\n"
            "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
            "X-Content-Type-Options: nosniff\r\n"
            "X-Frame-Options: SAMEORIGIN\r\n"
            "X-Xss-Protection: 1; mode=block\r\n\r\n");
  EXPECT_FALSE(deflate);

  // A browser's offer gets the same answer as always, in its place.
  request.set("Sec-WebSocket-Extensions", "permessage-deflate; client_max_window_bits");
  EXPECT_NE(BuildWebSocketReply(request, deflate)
                .find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
                      "Sec-WebSocket-Extensions: permessage-deflate; "
                      "client_max_window_bits=15\r\nX-Content-Type-Options"),
            std::string::npos);
  EXPECT_TRUE(deflate);
  request.set("Sec-WebSocket-Extensions", "Permessage-Deflate");
  EXPECT_EQ(BuildWebSocketReply(request, deflate).find("Extensions"), std::string::npos);
  EXPECT_FALSE(deflate);
}

// The answer never carries a parameter the offer did not allow; offers that
// cannot be honoured as written are declined, and the next one is tried.
TEST(WebSocketHandshake, DeflateAnswerPerOffer) {
  const struct {
    std::vector<std::string> offers;  // one header line each
    std::string answer;               // empty: no extension agreed
  } cases[] = {
      {{"permessage-deflate"}, "permessage-deflate"},
      {{"permessage-deflate; client_max_window_bits"},
       "permessage-deflate; client_max_window_bits=15"},
      {{"permessage-deflate; client_max_window_bits=9"},
       "permessage-deflate; client_max_window_bits=9"},
      {{"permessage-deflate;client_max_window_bits=\"10\""},
       "permessage-deflate; client_max_window_bits=10"},
      {{"permessage-deflate; server_max_window_bits=10"},
       "permessage-deflate; server_max_window_bits=10"},
      {{"permessage-deflate; server_max_window_bits=8; client_max_window_bits"},
       "permessage-deflate; server_max_window_bits=8; client_max_window_bits=15"},
      {{"permessage-deflate; server_no_context_takeover"},
       "permessage-deflate; server_no_context_takeover"},
      {{"permessage-deflate; client_no_context_takeover"}, "permessage-deflate"},
      {{"permessage-deflate ; client_no_context_takeover ; server_no_context_takeover ; "
        "server_max_window_bits = 15 ; client_max_window_bits = 12"},
       "permessage-deflate; server_no_context_takeover; server_max_window_bits=15; "
       "client_max_window_bits=12"},
      // Declined offers.
      {{"permessage-deflate; server_max_window_bits"}, ""},
      {{"permessage-deflate; server_max_window_bits=16"}, ""},
      {{"permessage-deflate; server_max_window_bits=7"}, ""},
      {{"permessage-deflate; client_max_window_bits=09"}, ""},
      {{"permessage-deflate; client_max_window_bits=1O"}, ""},
      {{"permessage-deflate; client_max_window_bits=\"10"}, ""},
      {{"permessage-deflate; server_no_context_takeover=1"}, ""},
      {{"permessage-deflate; client_max_window_bits; client_max_window_bits"}, ""},
      {{"permessage-deflate; server_no_context_takeover; server_no_context_takeover"}, ""},
      {{"permessage-deflate; mystery"}, ""},
      {{"permessage-deflate-x"}, ""},
      {{"x-webkit-deflate-frame"}, ""},
      {{"foo; bar=\"permessage-deflate\""}, ""},
      // The first acceptable offer of a list, across header lines too.
      {{"x-webkit-deflate-frame, permessage-deflate"}, "permessage-deflate"},
      {{"permessage-deflate; server_max_window_bits=20, "
        "permessage-deflate; server_max_window_bits=11, permessage-deflate"},
       "permessage-deflate; server_max_window_bits=11"},
      {{"foo; q=\"a, permessage-deflate\", permessage-deflate; client_max_window_bits=11",
        "permessage-deflate"},
       "permessage-deflate; client_max_window_bits=11"},
      {{"permessage-deflate; bad", "permessage-deflate; server_no_context_takeover"},
       "permessage-deflate; server_no_context_takeover"},
  };
  for (const auto& c : cases) {
    HttpRequest request{http::verb::get, "/", 11};
    request.set("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ==");
    for (const auto& line : c.offers) request.insert("Sec-WebSocket-Extensions", line);
    EXPECT_EQ(NegotiateDeflate(request), c.answer) << c.offers[0];
    bool deflate = c.answer.empty();
    const std::string reply = BuildWebSocketReply(request, deflate);
    EXPECT_EQ(deflate, !c.answer.empty()) << c.offers[0];
    EXPECT_EQ(reply.find("Sec-WebSocket-Extensions: " + c.answer + "\r\n") != std::string::npos,
              !c.answer.empty())
        << reply;
    EXPECT_EQ(reply.find("Extensions") != std::string::npos, !c.answer.empty()) << reply;
  }
}

TEST_F(EngineTest, MissingKeyWritesNothingAndLetsTheCallerAnswer) {
  HttpRequest request{http::verb::get, "/", 11};
  request.set("Upgrade", "websocket");
  request.set("Sec-WebSocket-Key", "");
  TWsEvents events;
  EXPECT_FALSE(HandleWebSocket(*connection_, request, false, events));
  captured_ = true;
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: WS: Handle Error:- Missing WebSocket key\n");
  EXPECT_EQ(ReadBytes(client_, 1, std::chrono::milliseconds(100)), "");
}

TEST_F(EngineTest, MaskedUnmaskedAndFragmentedTextWithPingsBetweenFragments) {
  Start(false);
  // The protocol's example: a masked "Hello".
  Send("\x81\x85\x37\xfa\x21\x3d\x7f\x9f\x4d\x51\x58");
  // The same text in two fragments, with a ping and an empty ping between them.
  Send(ClientFrame(1, "Hel", false));
  Send(ClientFrame(9, "Hello"));
  Send(ClientFrame(9, ""));
  Send(ClientFrame(0, "lo", true));
  // An unmasked frame, and a 256-byte one with the 16-bit length form.
  Send(ClientFrame(1, "plain", true, false, ""));
  Send(ClientFrame(2, std::string(256, 'b')));
  ASSERT_TRUE(log_.WaitMessages(4));
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"Hello", "Hello", "plain", std::string(256, 'b')}));
  EXPECT_EQ(Hex(ReadBytes(client_, 9)), "8A 05 48 65 6C 6C 6F 8A 00");
  Send(ClientFrame(10, "x"));
  Send(ClientFrame(8, "\x03\xE8" "bye"));
  EXPECT_EQ(Finish(),
            "Received Ping, sending Pong\nReceived Ping, sending Pong\nReceived Pong\n");
}

TEST_F(EngineTest, StrayContinuationsAndUnknownOpcodesAreDropped) {
  Start(false);
  Send(ClientFrame(0, "stray"));
  Send(ClientFrame(3, "three"));
  Send(ClientFrame(11, "eleven"));
  Send(ClientFrame(1, "kept"));
  ASSERT_TRUE(log_.WaitMessages(1));
  Send(ClientFrame(8, ""));
  EXPECT_EQ(Finish(), "");
  EXPECT_EQ(log_.Messages(), std::vector<std::string>{"kept"});
}

TEST_F(EngineTest, SentFramesHaveTheShortestHeaderAndUtf8Payload) {
  Start(false);
  for (size_t n : {size_t{125}, size_t{126}, size_t{65535}, size_t{65536}}) {
    handler_->SendMessage(std::string(n, 'a'));
    const std::string frame = ReadBytes(client_, n + (n <= 125 ? 2 : n <= 65535 ? 4 : 10));
    ASSERT_EQ(frame.size(), n + (n <= 125 ? 2 : n <= 65535 ? 4 : 10));
    EXPECT_EQ(frame.substr(frame.size() - n), std::string(n, 'a'));
    const std::string header = Hex(frame.substr(0, frame.size() - n));
    const char* expected = n == 125   ? "81 7D"
                           : n == 126 ? "81 7E 00 7E"
                           : n == 65535 ? "81 7E FF FF"
                                      : "81 7F 00 00 00 00 00 01 00 00";
    EXPECT_EQ(header, expected);
  }
  handler_->SendMessage("\xC3\xA9");
  EXPECT_EQ(Hex(ReadBytes(client_, 4)), "81 02 C3 A9");
  // Text that is not UTF-8 goes out with U+FFFD in place of the bad byte.
  handler_->SendMessage("a\xFF");
  EXPECT_EQ(Hex(ReadBytes(client_, 6)), "81 04 61 EF BF BD");
}

TEST_F(EngineTest, CompressedMessagesShareOneWindowAndPlainOnesPassThrough) {
  Start(true);
  test::Deflater deflater;
  const std::string first = "{\"ctrl\":\"chat\",\"evt\":\"say\",\"evtp\":\"hello there, general\"}";
  const std::string a = deflater.Compress(first);
  const std::string b = deflater.Compress(first);  // refers back into the first
  ASSERT_LT(b.size(), first.size() / 3);
  Send(ClientFrame(1, a, true, true));
  Send(ClientFrame(1, b, true, true));
  Send(ClientFrame(1, "not compressed"));
  // A compressed message split over two fragments: RSV1 on the first only.
  const std::string big(10000, 'z');
  const std::string c = deflater.Compress(big);
  Send(ClientFrame(1, c.substr(0, 3), false, true));
  Send(ClientFrame(0, c.substr(3), true, false));
  ASSERT_TRUE(log_.WaitMessages(4));
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{first, first, "not compressed", big}));
}

TEST_F(EngineTest, MessagesEndingTheDeflateStreamDoNotSpoilTheNextOnes) {
  Start(true);
  const std::string one = "first message, first message, first message";
  const std::string two = "second one stands alone";
  const std::string three = "first message, second one stands alone";
  Send(ClientFrame(1, test::CompressFinal(one), true, true));
  Send(ClientFrame(1, test::CompressFinal(two), true, true));
  // Refers back into the earlier messages across their final blocks.
  const std::string c = test::CompressFinal(three, one + two);
  ASSERT_LT(c.size(), three.size() / 2);
  Send(ClientFrame(1, c, true, true));
  ASSERT_TRUE(log_.WaitMessages(3));
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{one, two, three}));
}

TEST_F(EngineTest, Rsv1WithoutDeflateAgreedIsPlainText) {
  Start(false);
  Send(ClientFrame(1, "as is", true, true));
  ASSERT_TRUE(log_.WaitMessages(1));
  EXPECT_EQ(log_.Messages()[0], "as is");
}

TEST_F(EngineTest, BrokenDeflateAndThrowingHandlerAreReportedAndReadingGoesOn) {
  Start(true);
  Send(ClientFrame(1, "throw"));
  Send(ClientFrame(1, "\xFF\xFF\xFF\xFF garbage", true, true));
  Send(ClientFrame(1, "a\xC3(b"));  // invalid UTF-8 is replaced, not fatal
  ASSERT_TRUE(log_.WaitMessages(2));
  Send(ClientFrame(8, ""));
  EXPECT_EQ(Finish(),
            "Error: WebSocket process Error: handler failed\n"
            "Error: WebSocket DeCompress Error: Decompression error\n");
  EXPECT_EQ(log_.Messages(), (std::vector<std::string>{"", "a\xEF\xBF\xBD(b"}));
}

TEST_F(EngineTest, CloseFrameIsAnsweredWithItsStatusAndSendsStopAfterwards) {
  Start(false);
  Send(ClientFrame(8, std::string("\x03\xE8", 2) + "done"));
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Hex(ReadBytes(client_, 4)), "88 02 03 E8");
  handler_->WaitFor();
  EXPECT_FALSE(handler_->Connected());
  handler_->SendMessage("too late");  // silently dropped
  EXPECT_EQ(ReadBytes(client_, 1, std::chrono::milliseconds(100)), "");
  EXPECT_EQ(log_.Closes(), 1);
  EXPECT_EQ(Finish(), "");
}

// One connection fed `input` until the engine ends it by itself: what the
// engine sent (all of it, read after the connection is shut), what it
// printed and which messages it delivered.
struct EngineRun {
  std::string sent;
  std::string console;
  std::vector<std::string> messages;
  int closes = 0;
};

EngineRun RunUntilTheEngineEnds(const std::string& input) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
  TConnection connection(fds[0], "127.0.0.1");
  test::EventLog log;
  EngineRun run;
  testing::internal::CaptureStdout();
  {
    TWebSocketHandler handler(connection, HttpRequest{}, false);
    handler.OnMessage = [&](TConnection&, HttpRequest&, const std::string& text) { log.Message(text); };
    handler.OnClose = [&](TConnection&, HttpRequest&) { log.Close(); };
    handler.Start();
    WriteAll(fds[1], input);  // small: it fits the socket buffer whatever the engine does
    ::shutdown(fds[1], SHUT_WR);  // an engine that waits for more ends here too
    handler.WaitFor();
    EXPECT_FALSE(handler.Connected());
  }
  run.console = testing::internal::GetCapturedStdout();
  connection.Shutdown();
  run.sent = ReadBytes(fds[1], 1 << 20);  // up to the end of the stream
  ::close(fds[1]);
  run.messages = log.Messages();
  run.closes = log.Closes();
  return run;
}

std::string CloseFrame(uint16_t code) {
  return Hex(std::string{'\x88', '\x02', static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)});
}

std::string CodeBytes(uint16_t code) {
  return std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

// Close frames and control frames: the one close frame the engine answers
// with (nothing after it), and protocol errors closed with 1002.
TEST(EngineProtocol, CloseCodesAndControlFrames) {
  struct Case {
    std::string name;
    std::string input;
    std::string sent;     // hex of everything the engine wrote
    std::string console;  // what it printed
    std::vector<std::string> messages;
  };
  const std::string protocolError = " vexa::EWsProtocolError\n";
  std::vector<Case> cases = {
      {"close without a code is answered with 1000", ClientFrame(8, ""), CloseFrame(1000), "", {}},
      {"close with code and reason", ClientFrame(8, CodeBytes(1000) + "bye"), CloseFrame(1000), "", {}},
      {"close of one byte", ClientFrame(8, "\x03"), CloseFrame(1002),
       "WebSocket error: WebSocket close frame of 1 byte" + protocolError, {}},
      {"ping of 125 bytes is answered in full",
       ClientFrame(9, std::string(125, 'p')) + ClientFrame(8, ""),
       Hex("\x8A\x7D" + std::string(125, 'p')) + " " + CloseFrame(1000),
       "Received Ping, sending Pong\n", {}},
      {"ping of 126 bytes", ClientFrame(9, std::string(126, 'p')), CloseFrame(1002),
       "WebSocket error: WebSocket control frame of 126 bytes" + protocolError, {}},
      {"pong of 200 bytes", ClientFrame(10, std::string(200, 'p')), CloseFrame(1002),
       "WebSocket error: WebSocket control frame of 200 bytes" + protocolError, {}},
      {"close of 126 bytes", ClientFrame(8, CodeBytes(1000) + std::string(124, 'r')), CloseFrame(1002),
       "WebSocket error: WebSocket control frame of 126 bytes" + protocolError, {}},
      {"ping without FIN", ClientFrame(9, "Hello", false), CloseFrame(1002),
       "WebSocket error: Fragmented WebSocket control frame" + protocolError, {}},
      {"close without FIN", ClientFrame(8, CodeBytes(1000), false), CloseFrame(1002),
       "WebSocket error: Fragmented WebSocket control frame" + protocolError, {}},
      {"fragmented ping inside a fragmented message",
       ClientFrame(1, "whole", true) + ClientFrame(1, "Hel", false) + ClientFrame(9, "x", false) +
           ClientFrame(0, "lo", true),
       CloseFrame(1002), "WebSocket error: Fragmented WebSocket control frame" + protocolError,
       {"whole"}},
  };
  for (uint16_t code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014,
                        3000, 3999, 4000, 4999})
    cases.push_back({"valid code " + std::to_string(code), ClientFrame(8, CodeBytes(code) + "why"),
                     CloseFrame(code), "", {}});
  for (uint16_t code : {0, 1, 999, 1004, 1005, 1006, 1015, 1016, 1100, 2000, 2999, 5000, 65535})
    cases.push_back({"invalid code " + std::to_string(code), ClientFrame(8, CodeBytes(code)),
                     CloseFrame(1002),
                     "WebSocket error: Invalid WebSocket close code " + std::to_string(code) +
                         protocolError, {}});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const EngineRun run = RunUntilTheEngineEnds(c.input);
    EXPECT_EQ(Hex(run.sent), c.sent);
    EXPECT_EQ(run.console, c.console);
    EXPECT_EQ(run.messages, c.messages);
    EXPECT_EQ(run.closes, 1);
  }
}

// One connection with `limits`, first given a message and then fed by
// `feed` (on its own thread, with a flag that is set once the engine has
// closed) until the engine ends it, or the test does after `wait`.
struct LimitRun {
  std::string sent;     // hex of what the engine wrote
  std::string console;  // what it printed
  std::vector<std::string> messages;
  bool closed = false;       // the engine ended the connection by itself
  size_t heldAtClose = 0;    // the budget's bytes when the close event fired
};

LimitRun RunWithLimits(TWsLimits limits, const std::function<void(int, const std::atomic<bool>&)>& feed,
                       std::chrono::milliseconds wait = std::chrono::seconds(30)) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
  TConnection connection(fds[0], "127.0.0.1");
  TMemoryBudget budget(size_t(1) << 30);
  limits.budget = &budget;
  test::EventLog log;
  LimitRun run;
  std::atomic<bool> closed{false};
  testing::internal::CaptureStdout();
  {
    TWebSocketHandler handler(connection, HttpRequest{}, false);
    handler.SetLimits(limits);
    handler.OnMessage = [&](TConnection&, HttpRequest&, const std::string& text) { log.Message(text); };
    handler.OnClose = [&](TConnection&, HttpRequest&) {
      run.heldAtClose = budget.Held();
      closed = true;
      log.Close();
    };
    handler.Start();
    std::thread feeder([&] { feed(fds[1], closed); });
    run.closed = log.WaitClose(wait);
    connection.Shutdown();  // ends a reader that is still waiting
    feeder.join();
    handler.WaitFor();
  }
  run.console = testing::internal::GetCapturedStdout();
  run.sent = Hex(ReadBytes(fds[1], 1 << 20));
  ::close(fds[1]);
  run.messages = log.Messages();
  return run;
}

// Writes without raising SIGPIPE; false once the engine's end has gone.
bool SendQuietly(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Between messages a connection may stay silent; a frame or a fragmented
// message left without data for longer than the frame read limit ends the
// connection with 1008 and a console line.
TEST(EngineReadLimit, UnfinishedFramesAndMessagesAreClosedAfterTheLimit) {
  const std::string timedOut = "WebSocket error: WebSocket frame unfinished after 300 ms without data\n";
  const struct {
    const char* name;
    std::string unfinished;
    std::string sent;  // hex of what the engine wrote
    std::string console;
  } cases[] = {
      {"one byte of a header", "\x81", CloseFrame(1008), timedOut},
      {"part of a payload", ClientFrame(1, std::string(1000, 'h')).substr(0, 600), CloseFrame(1008),
       timedOut},
      {"first fragment and a ping", ClientFrame(1, "first half", false) + ClientFrame(9, "ping"),
       Hex("\x8A\x04ping") + " " + CloseFrame(1008), "Received Ping, sending Pong\n" + timedOut},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TWsLimits limits;
    limits.frameRead = std::chrono::milliseconds(300);
    const LimitRun run = RunWithLimits(limits, [&](int fd, const std::atomic<bool>& closed) {
      WriteAll(fd, ClientFrame(1, "hello"));
      // Silent for more than three limits between messages: still open.
      EXPECT_EQ(ReadBytes(fd, 1, std::chrono::milliseconds(1000)), "");
      EXPECT_FALSE(closed);
      WriteAll(fd, ClientFrame(1, "still here") + c.unfinished);
    });
    EXPECT_TRUE(run.closed);
    EXPECT_EQ(run.sent, c.sent);
    EXPECT_EQ(run.console, c.console);
    EXPECT_EQ(run.messages, (std::vector<std::string>{"hello", "still here"}));
    EXPECT_EQ(run.heldAtClose, 0u);
  }
}

// The per-read limit alone would let a client hold a message for as long as
// it likes, one byte at a time: a message in progress must also bring the
// rule's minimum in every span from its first byte (control frames between
// its fragments do not count). Its charge is back before the close event.
TEST(EngineReadLimit, AMessageThatStopsMovingIsClosedThoughEveryReadIsWithinItsLimit) {
  const std::string tooSlow = "WebSocket error: WebSocket message too slow: less than 4 KiB in 500 ms\n";
  const struct {
    const char* name;
    std::string first;  // sent at once
    std::string each;   // then every 50 ms
  } cases[] = {
      // The first span is met; the next ones are not.
      {"a frame trickled a byte at a time", ClientFrame(1, std::string(10000, 't')).substr(0, 8000), "t"},
      {"pings between the fragments", ClientFrame(1, std::string(8000, 'f'), false), ClientFrame(9, "")},
      {"empty fragments", ClientFrame(1, std::string(8000, 'e'), false), ClientFrame(0, "", false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TWsLimits limits;
    limits.frameRead = std::chrono::seconds(3);  // never reached by a 50 ms pace
    limits.progress = {std::chrono::milliseconds(500), 4 * 1024};
    std::chrono::steady_clock::duration took{};
    const LimitRun run = RunWithLimits(limits, [&](int fd, const std::atomic<bool>& closed) {
      const auto t0 = std::chrono::steady_clock::now();
      WriteAll(fd, ClientFrame(1, "hello") + c.first);
      // Bounded: 20 s at most, far past when the rule ends it.
      for (int i = 0; i < 400 && !closed && SendQuietly(fd, c.each); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      took = std::chrono::steady_clock::now() - t0;
    });
    EXPECT_TRUE(run.closed);
    // Within two spans of the first one that brought too little; a clock
    // that started again at every frame would let the message run on.
    EXPECT_LT(took, std::chrono::seconds(10));
    EXPECT_EQ(run.sent.substr(run.sent.size() - CloseFrame(1008).size()), CloseFrame(1008));
    // One line, after any pongs.
    EXPECT_EQ(run.console.substr(run.console.find("WebSocket error")), tooSlow) << run.console;
    EXPECT_EQ(run.messages, std::vector<std::string>{"hello"});
    EXPECT_EQ(run.heldAtClose, 0u);
  }
}

// A client that keeps sending is never cut, however long its message takes
// in all (here several per-read limits), with pings and silent pauses
// between messages.
TEST(EngineReadLimit, ASteadySenderSlowerThanThePerReadLimitInAllIsDelivered) {
  TWsLimits limits;
  limits.frameRead = std::chrono::milliseconds(1500);
  limits.progress = {std::chrono::milliseconds(1500), 1024};
  const std::string whole(45 * 1024, 'w');
  const std::string frame = ClientFrame(1, whole.substr(0, 30 * 1024), false) +
                            ClientFrame(9, "p") + ClientFrame(0, whole.substr(30 * 1024), true);
  std::chrono::steady_clock::duration took{};
  const LimitRun run = RunWithLimits(
      limits,
      [&](int fd, const std::atomic<bool>&) {
        const auto t0 = std::chrono::steady_clock::now();
        // 512 bytes every 50 ms: about 10 KiB/s for 4.5 s.
        for (size_t at = 0; at < frame.size(); at += 512) {
          WriteAll(fd, frame.substr(at, 512));
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        took = std::chrono::steady_clock::now() - t0;
        // Then a second message after a silence longer than any limit.
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        WriteAll(fd, ClientFrame(1, "after a rest") + ClientFrame(8, ""));
      },
      std::chrono::seconds(60));
  EXPECT_GT(took, 2 * limits.frameRead);
  EXPECT_TRUE(run.closed);
  EXPECT_EQ(run.sent, Hex("\x8A\x01p") + " " + CloseFrame(1000));
  EXPECT_EQ(run.console, "Received Ping, sending Pong\n");
  EXPECT_EQ(run.messages, (std::vector<std::string>{whole, "after a rest"}));
}

TEST_F(EngineTest, PeerVanishingMidFrameEndsQuietly) {
  Start(false);
  Send(std::string("\x81\x85\x37\xfa", 4));
  ::shutdown(client_, SHUT_WR);
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Finish(), "");
  EXPECT_EQ(log_.Closes(), 1);
  EXPECT_TRUE(log_.Messages().empty());
}

TEST_F(EngineTest, OversizedFramesAndMessagesEndTheConnectionBeforeAllocating) {
  // A frame announcing 2^63 bytes.
  Start(false);
  Send(std::string("\x81\xFF\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 10));
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Hex(ReadBytes(client_, 4)), "88 02 03 F1");  // 1009: too big
  const std::string out = Finish();
  EXPECT_EQ(out.rfind("WebSocket error: WebSocket frame", 0), 0u) << out;
  EXPECT_NE(out.find("vexa::EWsTooLarge"), std::string::npos) << out;
}

TEST_F(EngineTest, FragmentsPastTheLimitEndTheConnection) {
  Start(false, 1000);
  Send(ClientFrame(1, std::string(1000, 'a')));  // exactly the limit is fine
  ASSERT_TRUE(log_.WaitMessages(1));
  Send(ClientFrame(1, std::string(600, 'a'), false));
  Send(ClientFrame(0, std::string(600, 'a'), true));
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Hex(ReadBytes(client_, 4)), "88 02 03 F1");
  EXPECT_EQ(Finish().rfind("WebSocket error: WebSocket message of 1200 bytes exceeds 1000", 0), 0u);
  EXPECT_EQ(log_.Messages().size(), 1u);
}

TEST_F(EngineTest, InflatingPastTheLimitEndsTheConnection) {
  Start(true, 64 * 1024);
  test::Deflater deflater;
  Send(ClientFrame(1, deflater.Compress(std::string(64 * 1024, 'x')), true, true));
  ASSERT_TRUE(log_.WaitMessages(1));
  Send(ClientFrame(1, deflater.Compress(std::string(64 * 1024 + 1, 'x')), true, true));
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Hex(ReadBytes(client_, 4)), "88 02 03 F1");
  EXPECT_EQ(Finish().rfind("WebSocket error: Inflated WebSocket message exceeds 65536 bytes", 0), 0u);
  EXPECT_EQ(log_.Messages().size(), 1u);
}

// Messages in progress share one budget with whatever else holds a charge on
// it (request bodies in the server): a message that would pass it gets 1009,
// and every byte is given back once a message is delivered or the
// connection ends.
TEST_F(EngineTest, MessagesPastTheSharedMemoryBudgetGetTooBig) {
  budget_.SetLimit(200 * 1024);
  TMemoryCharge body(&budget_);
  ASSERT_TRUE(body.GrowTo(40 * 1024));
  TWsLimits limits;
  limits.budget = &budget_;
  Start(true, limits);
  test::Deflater deflater;
  // Within what is left: plain, compressed, and invalid UTF-8 whose
  // replacement is three times its size.
  Send(ClientFrame(1, std::string(50 * 1024, 'p')));
  Send(ClientFrame(1, deflater.Compress(std::string(50 * 1024, 'c')), true, true));
  Send(ClientFrame(2, std::string(15 * 1024, '\xFF')));
  ASSERT_TRUE(log_.WaitMessages(3));
  EXPECT_EQ(log_.Messages()[2].size(), 45u * 1024);
  // Delivered messages hold nothing: the pong comes after all three.
  Send(ClientFrame(9, ""));
  EXPECT_EQ(Hex(ReadBytes(client_, 2)), "8A 00");
  EXPECT_EQ(budget_.Held(), 40u * 1024);
  // A deflate bomb: a few hundred bytes that would inflate past the budget.
  Send(ClientFrame(1, deflater.Compress(std::string(2 * 1024 * 1024, 'b')), true, true));
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Hex(ReadBytes(client_, 4)), "88 02 03 F1");
  const std::string out = Finish();
  EXPECT_EQ(out.rfind("Received Ping, sending Pong\nWebSocket error: WebSocket message of ", 0), 0u) << out;
  EXPECT_NE(out.find("passes what the server's budget has left vexa::EWsTooLarge"), std::string::npos) << out;
  EXPECT_EQ(log_.Messages().size(), 3u);
  EXPECT_EQ(budget_.Held(), 40u * 1024);
  body.Release();
  EXPECT_EQ(budget_.Held(), 0u);
}

// What a message holds grows with its bytes: a header that announces 4 MiB
// is charged at most one read step before its payload comes, and every byte
// is given back once its message is delivered, while the connection stays
// open.
TEST_F(EngineTest, AMessageIsChargedAsItsBytesArriveAndGivenBackOnDelivery) {
  constexpr size_t kStep = 64 * 1024;
  TWsLimits limits;
  limits.budget = &budget_;
  Start(false, limits);
  const std::string payload(4 * 1024 * 1024, 'm');
  const std::string frame = ClientFrame(2, payload);
  const size_t header = frame.size() - payload.size();
  Send(frame.substr(0, header));
  // The engine has taken the header once nothing is left unread.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  int unread = -1;
  while ((::ioctl(connection_->NativeHandle(), FIONREAD, &unread) != 0 || unread > 0) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(unread, 0);
  EXPECT_LE(budget_.Held(), kStep);
  for (size_t sent = header; sent < frame.size();) {
    const size_t n = std::min<size_t>(256 * 1024, frame.size() - sent);
    Send(frame.substr(sent, n));
    sent += n;
    ASSERT_LE(budget_.Held(), sent - header + kStep) << sent;
  }
  ASSERT_TRUE(log_.WaitMessages(1, std::chrono::seconds(30)));
  // More messages, one in fragments; the pong follows them all.
  Send(ClientFrame(1, "a", false) + ClientFrame(0, std::string(100000, 'b'), false) +
       ClientFrame(0, "c") + ClientFrame(1, "d") + ClientFrame(9, "mark"));
  EXPECT_EQ(Hex(ReadBytes(client_, 6)), "8A 04 6D 61 72 6B");
  ASSERT_TRUE(log_.WaitMessages(3));
  EXPECT_EQ(log_.Messages()[0], payload);
  EXPECT_EQ(log_.Messages()[1], "a" + std::string(100000, 'b') + "c");
  EXPECT_EQ(budget_.Held(), 0u);
  EXPECT_TRUE(handler_->Connected());
}

TEST_F(EngineTest, PlainFramesAndFragmentsPastTheBudgetGetTooBigAsTheyArrive) {
  budget_.SetLimit(100 * 1024);
  TMemoryCharge other(&budget_);
  ASSERT_TRUE(other.GrowTo(20 * 1024));
  TWsLimits limits;
  limits.budget = &budget_;
  Start(false, limits);
  // Two fragments of 50 KiB: the second one passes the 80 KiB left.
  Send(ClientFrame(1, std::string(50 * 1024, 'a'), false));
  Send(ClientFrame(0, std::string(50 * 1024, 'a'), true));
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Hex(ReadBytes(client_, 4)), "88 02 03 F1");
  EXPECT_NE(Finish().find("passes what the server's budget has left"), std::string::npos);
  EXPECT_TRUE(log_.Messages().empty());
  EXPECT_EQ(budget_.Held(), 20u * 1024);
}

TEST_F(EngineTest, DisconnectFromAnotherThreadSendsGoingAwayAndClosesOnce) {
  Start(false);
  std::thread([this] { handler_->Disconnect(); }).join();
  EXPECT_EQ(Hex(ReadBytes(client_, 4)), "88 02 03 E9");
  EXPECT_EQ(ReadBytes(client_, 1, std::chrono::milliseconds(500)), "");  // then the end
  ASSERT_TRUE(log_.WaitClose());
  handler_->Disconnect();  // a second time changes nothing
  EXPECT_EQ(Finish(), "");
  EXPECT_EQ(log_.Closes(), 1);
}

TEST_F(EngineTest, DisconnectIsNotHeldUpByASenderStuckOnAClientThatDoesNotRead) {
  // Small socket buffers, so that the 1 MiB frame below cannot fit them.
  const int small = 4096;
  ASSERT_EQ(::setsockopt(connection_->NativeHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  ASSERT_EQ(::setsockopt(client_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  Start(false);
  std::atomic<bool> senderFailed{false};
  std::thread sender([&] {
    try {
      handler_->SendMessage(std::string(1024 * 1024, 'q'));
    } catch (const std::exception&) {
      senderFailed = true;
    }
  });
  // The sender is in its write once the frame's header arrives (a sanitizer
  // build under load takes a while to get there); the rest of the frame
  // cannot fit the socket's buffers, so it stays blocked there.
  EXPECT_EQ(Hex(ReadBytes(client_, 10, std::chrono::seconds(60))), "81 7F 00 00 00 00 00 10 00 00");
  const auto t0 = std::chrono::steady_clock::now();
  handler_->Disconnect();
  // Far below the 60 s a write may wait for a client.
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
  sender.join();
  EXPECT_TRUE(senderFailed);
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Finish(), "");
}

// One frame the server sent: opcode and payload ("" and 0 when none came).
std::pair<int, std::string> ReadServerFrame(int fd, std::chrono::milliseconds timeout) {
  const std::string head = ReadBytes(fd, 2, timeout);
  if (head.size() < 2) return {0, ""};
  uint64_t n = static_cast<unsigned char>(head[1]) & 0x7F;
  if (n >= 126) {
    const std::string ext = ReadBytes(fd, n == 126 ? 2 : 8, timeout);
    n = 0;
    for (unsigned char b : ext) n = (n << 8) | b;
  }
  return {static_cast<unsigned char>(head[0]) & 0x0F, ReadBytes(fd, static_cast<size_t>(n), timeout)};
}

// Small socket buffers on both ends: a frame of a megabyte cannot fit them.
void ShrinkBuffers(int server, int client) {
  const int small = 4096;
  ::setsockopt(server, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
}

TEST_F(EngineTest, QueuedSendsNeverWaitKeepTheirOrderAndGiveTheirChargeBack) {
  ShrinkBuffers(connection_->NativeHandle(), client_);
  budget_.SetLimit(size_t(64) << 20);
  TWsLimits limits;
  limits.budget = &budget_;
  Start(false, limits);
  handler_->ConId = 4;
  // 20 frames, 4 MiB in all, to a client that reads nothing yet: every send
  // returns at once, and what waits is charged.
  std::vector<std::string> sent;
  for (int i = 0; i < 20; ++i) {
    sent.push_back(std::string(200000 + i, static_cast<char>('a' + i)));
    EXPECT_TRUE(handler_->SendQueued(TWsText(sent.back()), i % 2 ? "," : ""));
    if (i % 2) sent.back() += ",";
  }
  EXPECT_GT(handler_->Queued(), size_t(3) << 20);
  EXPECT_GE(budget_.Held(), handler_->Queued() - (size_t(1) << 20));
  // A ping now is answered after the frames queued before it.
  Send(ClientFrame(TWebSocketHandler::OpPing, "p1"));
  for (const std::string& text : sent) {
    const auto [opcode, payload] = ReadServerFrame(client_, std::chrono::seconds(60));
    ASSERT_EQ(opcode, TWebSocketHandler::OpText);
    ASSERT_EQ(payload, text);
  }
  const auto [opcode, payload] = ReadServerFrame(client_, std::chrono::seconds(60));
  EXPECT_EQ(opcode, TWebSocketHandler::OpPong);
  EXPECT_EQ(payload, "p1");
  // Written out: the queue and its charge are empty again.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((handler_->Queued() != 0 || budget_.Held() != 0) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(handler_->Queued(), 0u);
  EXPECT_EQ(budget_.Held(), 0u);
  // The end of the connection joins the writer (a thread left would end
  // the test program when the handler goes).
  Send(ClientFrame(TWebSocketHandler::OpClose, CodeBytes(1000)));
  EXPECT_EQ(ReadServerFrame(client_, std::chrono::seconds(30)).first, TWebSocketHandler::OpClose);
  ASSERT_TRUE(log_.WaitClose());
  EXPECT_EQ(Finish(), "Received Ping, sending Pong\n");
}

// A client that does not read: its queue passes the bound, the budget, or a
// write passes the write limit. Each closes the connection with one line
// naming it, and frees what waits at once. At a bound the frame begun is
// finished and close 1009 follows it, so a client that reads again gets
// whole frames and the reason; a write past its limit just ends.
TEST(EngineSendQueue, ConnectionsThatDoNotReadAreClosedAtTheirBound) {
  struct Case {
    const char* name;
    size_t budget;
    size_t maxQueued;
    std::chrono::milliseconds writeLimit;
    std::string line;
  };
  const Case cases[] = {
      {"bound", size_t(64) << 20, size_t(1) << 20, std::chrono::milliseconds(60000),
       "WebSocket error: connection 9 closed: more than 1048576 bytes wait for a client that does not read\n"},
      {"budget", size_t(1) << 20, size_t(64) << 20, std::chrono::milliseconds(60000),
       " bytes waiting for the client pass what the server's budget has left\n"},
      {"write limit", size_t(64) << 20, size_t(64) << 20, std::chrono::milliseconds(2000),
       "WebSocket error: connection 9 took no write for 2000 ms, closed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    TConnection connection(fds[0], "127.0.0.1");
    ShrinkBuffers(fds[0], fds[1]);
    connection.SetWriteTimeout(c.writeLimit);
    TMemoryBudget budget(c.budget);
    TWsLimits limits;
    limits.budget = &budget;
    limits.maxQueued = c.maxQueued;
    test::EventLog log;
    testing::internal::CaptureStdout();
    {
      TWebSocketHandler handler(connection, HttpRequest{}, false);
      handler.SetLimits(limits);
      handler.ConId = 9;
      handler.OnMessage = [](TConnection&, HttpRequest&, const std::string&) {};
      handler.OnClose = [&](TConnection&, HttpRequest&) { log.Close(); };
      handler.Start();
      // A frame may always wait alone (within the budget); the next ones
      // pass the bound. Texts of their own: one text is charged once to
      // the budget however often it waits. They are made before the sends,
      // so the sends take far less than the write limit however slow the
      // machine.
      const std::string body(size_t(900) << 10, 'b');
      const TWsText big(body);
      std::vector<TWsText> texts;
      for (int i = 0; i < 4; ++i) texts.emplace_back(body);
      bool refused = false;
      for (size_t i = 0; i < texts.size() && !refused; ++i) refused = !handler.SendQueued(texts[i]);
      EXPECT_EQ(refused, c.writeLimit.count() == 60000);
      if (refused) {
        // What waited is gone at once: no more than the frame begun and the
        // close frame wait, and later sends do nothing.
        EXPECT_FALSE(handler.Connected());
        EXPECT_FALSE(handler.SendQueued(big));
        EXPECT_LE(handler.Queued(), body.size() + 2 * TSendQueue::kItemCost + 16);
        EXPECT_LE(budget.Held(), body.size() + 2 * TSendQueue::kItemCost + 16);
        // The client reads again: the frame begun, whole, then the reason.
        const auto [opcode, payload] = ReadServerFrame(fds[1], std::chrono::seconds(60));
        EXPECT_EQ(opcode, TWebSocketHandler::OpText);
        EXPECT_EQ(payload, body);
        EXPECT_EQ(Hex(ReadBytes(fds[1], 4, std::chrono::seconds(60))), "88 02 03 F1");
      }
      // Closed: the reader ends, nothing waits or is charged.
      ASSERT_TRUE(log.WaitClose(std::chrono::seconds(60)));
      EXPECT_FALSE(handler.Connected());
      EXPECT_FALSE(handler.SendQueued(big));
      EXPECT_EQ(handler.Queued(), 0u);
      EXPECT_EQ(budget.Held(), 0u);
    }
    EXPECT_TRUE(connection.IsShutdown() || c.writeLimit.count() == 60000);
    const std::string out = testing::internal::GetCapturedStdout();
    // One line, naming the connection.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find(c.line), std::string::npos) << out;
    EXPECT_NE(out.find("connection 9 "), std::string::npos) << out;
    ::close(fds[1]);
  }
}

// "<sender>:<index>:" and 40,000 bytes of one letter.
std::string SenderText(int sender, int index) {
  return std::to_string(sender) + ":" + std::to_string(index) + ":" +
         std::string(40000, static_cast<char>('a' + (sender * 5 + index) % 26));
}

// Two threads send 300 frames of 40,000 bytes each to a client whose socket
// takes 16 KiB at a time, which pings meanwhile and reads slowly: every
// frame arrives whole (no pong or other frame inside another), each
// sender's in its order, and pings are answered. In rounds, each begun
// with nothing waiting, when sends are written straight to the socket.
TEST_F(EngineTest, FramesFromTwoSendersAndPongsArriveWholeThroughASlowReader) {
  const int small = 16 * 1024;
  ::setsockopt(connection_->NativeHandle(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ::setsockopt(client_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  TWsLimits limits;
  limits.budget = &budget_;
  Start(false, limits);
  constexpr int kSenders = 2, kRounds = 20, kEach = 15;
  int next[kSenders] = {};
  int pings = 0, pongs = 0;
  std::string fault;
  for (int round = 0; round < kRounds && fault.empty(); ++round) {
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t)
      senders.emplace_back([this, t, round] {
        for (int i = round * kEach; i < (round + 1) * kEach; ++i) handler_->SendQueued(TWsText(SenderText(t, i)));
      });
    for (int frames = 0; frames < kSenders * kEach && fault.empty();) {
      if (frames % 3 == 0) Send(ClientFrame(TWebSocketHandler::OpPing, "p" + std::to_string(pings++)));
      const auto [opcode, payload] = ReadServerFrame(client_, std::chrono::seconds(60));
      if (opcode == TWebSocketHandler::OpPong) {
        if (payload.empty() || payload[0] != 'p') fault = "a pong of " + payload.substr(0, 20);
        ++pongs;
        continue;
      }
      const int sender = std::atoi(payload.c_str());
      if (opcode != TWebSocketHandler::OpText || sender < 0 || sender >= kSenders) {
        fault = "round " + std::to_string(round) + ": opcode " + std::to_string(opcode) + ", " + payload.substr(0, 20);
      } else if (payload != SenderText(sender, next[sender])) {
        fault = "frame " + std::to_string(next[sender]) + " of sender " + std::to_string(sender) + " not whole";
      }
      ++next[sender % kSenders];
      ++frames;
    }
    if (!fault.empty()) handler_->Disconnect();  // senders still at work stop at once
    for (auto& sender : senders) sender.join();
  }
  EXPECT_EQ(fault, "");
  // Pongs not yet sent give way to the newest: some answer the pings.
  EXPECT_GE(pongs, 1);
  EXPECT_LE(pongs, pings);
}

// A client that pings without reading holds a pong or two, whatever the
// number of pings: each waiting pong gives way to the newest.
TEST_F(EngineTest, APingFloodFromAClientThatDoesNotReadHoldsAPongOrTwo) {
  ShrinkBuffers(connection_->NativeHandle(), client_);
  TWsLimits limits;
  limits.budget = &budget_;
  Start(false, limits);
  // The first pongs fill the socket; then 100,000 more pings.
  std::string pings;
  for (int i = 0; i < 1000; ++i) pings += ClientFrame(TWebSocketHandler::OpPing, std::string(100, 'p'));
  for (int round = 0; round < 100; ++round) Send(pings);
  Send(ClientFrame(TWebSocketHandler::OpText, "marker"));
  ASSERT_TRUE(log_.WaitMessages(1, std::chrono::seconds(120)));
  // A pong: its header, its payload (at most 125 bytes) and its cost.
  const size_t pong = 10 + 125 + TSendQueue::kItemCost;
  EXPECT_LE(handler_->Queued(), 2 * pong);
  EXPECT_LE(budget_.Held(), 2 * pong);
  EXPECT_TRUE(handler_->Connected());
  // Every ping still gets its console line, and nothing else is written.
  handler_->Disconnect();
  std::string out = Finish();
  const std::string line = "Received Ping, sending Pong\n";
  size_t lines = 0;
  for (size_t at = out.find(line); at != std::string::npos; at = out.find(line, at)) {
    out.erase(at, line.size());
    ++lines;
  }
  EXPECT_EQ(lines, 100000u);
  EXPECT_EQ(out, "");
}

TEST_F(EngineTest, HandleWebSocketRunsTheWholeConnectionOnTheCallingThread) {
  HttpRequest request{http::verb::get, "/ws", 11};
  request.set("Upgrade", "websocket");
  request.set("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ==");
  std::atomic<int> order{0};
  int connectAt = -1, messageAt = -1, closeAt = -1;
  std::string seenId;
  std::thread::id connectThread, messageThread, closeThread;
  TWsEvents events;
  events.OnWsConnect = [&](TWebSocketHandler& h, TConnection&, HttpRequest& r, bool secure) {
    EXPECT_FALSE(secure);
    h.ConId = 7;
    r.set("HTWS_VEXA", "7");
    connectAt = order++;
    connectThread = std::this_thread::get_id();
    h.SendMessage("welcome");
  };
  events.OnWsMessage = [&](TConnection&, HttpRequest& r, const std::string& text) {
    seenId = std::string(r["HTWS_VEXA"]) + ":" + text;
    messageAt = order++;
    messageThread = std::this_thread::get_id();
  };
  events.OnWsDisconnect = [&](TConnection&, HttpRequest&) {
    closeAt = order++;
    closeThread = std::this_thread::get_id();
  };
  std::thread client([&] {
    bool deflate = false;
    const size_t replySize = BuildWebSocketReply(request, deflate).size();
    const std::string reply = ReadBytes(client_, replySize + 9, std::chrono::seconds(5));
    EXPECT_NE(reply.find("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="), std::string::npos);
    EXPECT_EQ(reply.substr(reply.size() - 9), "\x81\x07welcome");
    WriteAll(client_, ClientFrame(1, "hi") + ClientFrame(8, ""));
  });
  EXPECT_TRUE(HandleWebSocket(*connection_, request, false, events));
  client.join();
  EXPECT_TRUE(connection_->IsShutdown());
  EXPECT_EQ(seenId, "7:hi");
  EXPECT_EQ(connectAt, 0);
  EXPECT_EQ(messageAt, 1);
  EXPECT_EQ(closeAt, 2);
  EXPECT_EQ(connectThread, std::this_thread::get_id());
  EXPECT_NE(messageThread, connectThread);
  EXPECT_EQ(messageThread, closeThread);
}

}  // namespace
}  // namespace vexa

// TConnection over a socketpair: plain and TLS streams read by the
// connection's thread while many threads write whole records at once.

#include "server/http/connection.hpp"
#include "server/http/http_types.hpp"
#include "test_tls.hpp"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

using namespace std::chrono_literals;

namespace vexa {
namespace {

// Records: 4-byte payload length, 4-byte writer id, 4-byte sequence number,
// then payload bytes that depend on all three.
uint8_t PatternByte(uint32_t writer, uint32_t seq, uint32_t i) {
  return static_cast<uint8_t>(writer * 31 + seq * 7 + i * 13);
}

std::string MakeRecord(uint32_t writer, uint32_t seq, uint32_t len) {
  std::string r(12 + len, '\0');
  std::memcpy(&r[0], &len, 4);
  std::memcpy(&r[4], &writer, 4);
  std::memcpy(&r[8], &seq, 4);
  for (uint32_t i = 0; i < len; ++i) r[12 + i] = static_cast<char>(PatternByte(writer, seq, i));
  return r;
}

uint32_t RecordLength(uint32_t writer, uint32_t seq) { return (writer * 4099 + seq * 997) % 24000 + 1; }

// Checks a stream of records: each intact, each writer's records in order.
// Returns the number of records, or -1 with a message on the first fault.
int CheckRecords(const std::string& s, std::string& fault) {
  std::map<uint32_t, uint32_t> next;
  size_t pos = 0;
  int count = 0;
  while (pos < s.size()) {
    if (s.size() - pos < 12) return fault = "truncated header", -1;
    uint32_t len, writer, seq;
    std::memcpy(&len, &s[pos], 4);
    std::memcpy(&writer, &s[pos + 4], 4);
    std::memcpy(&seq, &s[pos + 8], 4);
    if (writer > 64 || len != RecordLength(writer, seq)) return fault = "bad header", -1;
    if (seq != next[writer]) return fault = "out of order", -1;
    next[writer] = seq + 1;
    if (s.size() - pos - 12 < len) return fault = "truncated body", -1;
    for (uint32_t i = 0; i < len; ++i)
      if (static_cast<uint8_t>(s[pos + 12 + i]) != PatternByte(writer, seq, i))
        return fault = "mixed bytes", -1;
    pos += 12 + len;
    ++count;
  }
  return count;
}

// The client end: a single thread driving a non-blocking socket (and an
// OpenSSL client session when TLS), reading and writing side by side.
class Client {
 public:
  Client(int fd, SSL_CTX* ctx) : fd_(fd) {
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
    if (ctx) {
      ssl_ = SSL_new(ctx);
      SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
      SSL_set_fd(ssl_, fd_);
      SSL_set_connect_state(ssl_);
    }
  }
  ~Client() {
    if (ssl_) SSL_free(ssl_);
    ::close(fd_);
  }
  bool Handshake() {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      int r = SSL_do_handshake(ssl_);
      if (r == 1) return true;
      int e = SSL_get_error(ssl_, r);
      if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) return false;
      pollfd p{fd_, static_cast<short>(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
      ::poll(&p, 1, 50);
    }
    return false;
  }
  // Sends `out` and reads until `expect` bytes came in (or the peer closed).
  void Exchange(const std::string& out, size_t expect, std::chrono::seconds limit = 60s) {
    size_t outPos = 0;
    char buf[16384];
    auto deadline = std::chrono::steady_clock::now() + limit;
    bool closed = false;
    while ((outPos < out.size() || (in.size() < expect && !closed)) &&
           std::chrono::steady_clock::now() < deadline) {
      bool progress = false;
      if (outPos < out.size()) {
        size_t n = std::min<size_t>(out.size() - outPos, 16384);
        long r = ssl_ ? SSL_write(ssl_, out.data() + outPos, static_cast<int>(n))
                      : ::send(fd_, out.data() + outPos, n, MSG_NOSIGNAL);
        if (r > 0) outPos += static_cast<size_t>(r), progress = true;
      }
      long r = ssl_ ? SSL_read(ssl_, buf, sizeof buf) : ::recv(fd_, buf, sizeof buf, 0);
      if (r > 0) {
        in.append(buf, static_cast<size_t>(r));
        progress = true;
      } else if (r == 0 || (ssl_ && SSL_get_error(ssl_, static_cast<int>(r)) == SSL_ERROR_ZERO_RETURN)) {
        closed = true;
      }
      ERR_clear_error();
      if (!progress) {
        pollfd p{fd_, static_cast<short>(POLLIN | (outPos < out.size() ? POLLOUT : 0)), 0};
        ::poll(&p, 1, 20);
      }
    }
  }
  std::string in;

 private:
  int fd_;
  SSL* ssl_ = nullptr;
};

struct Pair {
  std::unique_ptr<TConnection> server;
  std::unique_ptr<Client> client;
};

Pair MakePair(SSL_CTX* serverCtx, SSL_CTX* clientCtx) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) throw std::runtime_error("socketpair");
  Pair p;
  p.server = std::make_unique<TConnection>(sv[0], "127.0.0.1", 4242);
  p.client = std::make_unique<Client>(sv[1], clientCtx);
  if (serverCtx) {
    bool clientOk = false;
    std::thread t([&] { clientOk = p.client->Handshake(); });
    p.server->StartTLS(serverCtx, 10s);
    t.join();
    if (!clientOk) throw std::runtime_error("client handshake");
  }
  return p;
}

class ConnectionStreams : public ::testing::TestWithParam<bool> {};

TEST_P(ConnectionStreams, ReaderAndEightWritersKeepEveryRecordWhole) {
  const bool tls = GetParam();
  auto sctx = tls ? test::MakeServerContext() : test::SslCtxPtr();
  auto cctx = tls ? test::MakeClientContext() : test::SslCtxPtr();
  Pair p = MakePair(sctx.get(), cctx.get());
  EXPECT_EQ(p.server->IsTLS(), tls);
  EXPECT_EQ(p.server->PeerAddress(), "127.0.0.1");

  constexpr uint32_t kWriters = 8, kRecords = 40;
  size_t expectedToClient = 0;
  for (uint32_t w = 0; w < kWriters; ++w)
    for (uint32_t s = 0; s < kRecords; ++s) expectedToClient += 12 + RecordLength(w, s);
  std::string toServer;
  for (uint32_t s = 0; s < 120; ++s) toServer += MakeRecord(63, s, RecordLength(63, s));

  // The connection's own thread reads the client's stream...
  std::string fromClient;
  std::thread reader([&] {
    char buf[7000];
    while (fromClient.size() < toServer.size()) {
      size_t n = p.server->ReadSome(buf, sizeof buf);
      if (n == 0) break;
      fromClient.append(buf, n);
    }
  });
  // ...while eight threads write whole records at once.
  std::vector<std::thread> writers;
  for (uint32_t w = 0; w < kWriters; ++w)
    writers.emplace_back([&, w] {
      for (uint32_t s = 0; s < kRecords; ++s) p.server->Write(MakeRecord(w, s, RecordLength(w, s)));
    });
  p.client->Exchange(toServer, expectedToClient);
  for (auto& t : writers) t.join();
  reader.join();

  std::string fault;
  EXPECT_EQ(CheckRecords(p.client->in, fault), int(kWriters * kRecords)) << fault;
  EXPECT_EQ(p.client->in.size(), expectedToClient);
  EXPECT_EQ(CheckRecords(fromClient, fault), 120) << fault;
}

TEST_P(ConnectionStreams, ShutdownWakesBlockedReaderAndStopsWrites) {
  const bool tls = GetParam();
  auto sctx = tls ? test::MakeServerContext() : test::SslCtxPtr();
  auto cctx = tls ? test::MakeClientContext() : test::SslCtxPtr();
  Pair p = MakePair(sctx.get(), cctx.get());
  std::atomic<bool> returned{false};
  size_t got = 99;
  std::thread reader([&] {
    char buf[64];
    got = p.server->ReadSome(buf, sizeof buf);
    returned = true;
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(returned.load());
  auto t0 = std::chrono::steady_clock::now();
  p.server->Shutdown();
  reader.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
  EXPECT_EQ(got, 0u);
  char buf[8];
  EXPECT_EQ(p.server->ReadSome(buf, sizeof buf), 0u);
  EXPECT_THROW(p.server->Write("late"), std::system_error);
  p.server->Shutdown();  // twice is harmless
}

TEST_P(ConnectionStreams, ReadTimeoutRaisesAndEndOfStreamReadsZero) {
  const bool tls = GetParam();
  auto sctx = tls ? test::MakeServerContext() : test::SslCtxPtr();
  auto cctx = tls ? test::MakeClientContext() : test::SslCtxPtr();
  Pair p = MakePair(sctx.get(), cctx.get());
  p.server->SetReadTimeout(150ms);
  char buf[16];
  try {
    p.server->ReadSome(buf, sizeof buf);
    ADD_FAILURE() << "no timeout";
  } catch (const std::system_error& e) {
    EXPECT_EQ(e.code(), std::make_error_code(std::errc::timed_out));
  }
  p.client->Exchange("abc", 0);
  ASSERT_TRUE(p.server->ReadExact(buf, 3));
  EXPECT_EQ(std::string(buf, 3), "abc");
  p.client.reset();  // client closes
  EXPECT_EQ(p.server->ReadSome(buf, sizeof buf), 0u);
}

INSTANTIATE_TEST_SUITE_P(PlainAndTLS, ConnectionStreams, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "TLS" : "Plain"; });

TEST(Connection, PeekLeavesBytesForTheNextRead) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  TConnection c(sv[0], "127.0.0.1");
  ASSERT_EQ(::send(sv[1], "GET / H", 7, 0), 7);
  char peek[6];
  EXPECT_EQ(c.Peek(peek, sizeof peek, 1s), 6u);
  EXPECT_EQ(std::string(peek, 6), "GET / ");
  char buf[16];
  EXPECT_EQ(c.ReadSome(buf, sizeof buf), 7u);
  EXPECT_EQ(std::string(buf, 7), "GET / H");
  // A client that sends nothing: the peek gives up after its bound.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.Peek(peek, sizeof peek, 100ms), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 90ms);
  ::close(sv[1]);
}

TEST(Connection, HandshakeWithSilentClientIsBounded) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  auto sctx = test::MakeServerContext();
  TConnection c(sv[0], "127.0.0.1");
  EXPECT_THROW(c.StartTLS(sctx.get(), 200ms), std::runtime_error);
  EXPECT_FALSE(c.IsTLS());
  ::close(sv[1]);
}

TEST(Connection, HandshakeWithPlainTextFails) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  auto sctx = test::MakeServerContext();
  TConnection c(sv[0], "127.0.0.1");
  ASSERT_EQ(::send(sv[1], "GET / HTTP/1.1\r\n\r\n", 18, 0), 18);
  EXPECT_THROW(c.StartTLS(sctx.get(), 2s), std::runtime_error);
  ::close(sv[1]);
}

TEST(Connection, BeastParsesPipelinedRequestsAndPushBackReturnsReadAhead) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  TConnection c(sv[0], "127.0.0.1");
  std::string wire =
      "POST /a HTTP/1.1\r\nHost: x\r\nX-Mixed-Case: 1\r\nContent-Length: 3\r\n\r\nabc"
      "GET /b?q=1 HTTP/1.1\r\nHost: x\r\n\r\nTAIL";
  ASSERT_EQ(::send(sv[1], wire.data(), wire.size(), 0), ssize_t(wire.size()));
  boost::beast::flat_buffer buffer;
  HttpRequest r1, r2;
  http::read(c, buffer, r1);
  http::read(c, buffer, r2);
  EXPECT_EQ(r1.method(), http::verb::post);
  EXPECT_EQ(r1.body(), "abc");
  EXPECT_EQ(std::next(r1.begin())->name_string(), "X-Mixed-Case");
  EXPECT_EQ(r2.target(), "/b?q=1");
  // What the parser read past the second request goes back to the stream.
  auto rest = buffer.data();
  c.PushBack(rest.data(), rest.size());
  char buf[8];
  ASSERT_TRUE(c.ReadExact(buf, 4));
  EXPECT_EQ(std::string(buf, 4), "TAIL");
  // Beast's write adapter delivers a whole reply.
  HttpResponse res{http::status::not_found, 11};
  res.body() = "gone";
  res.prepare_payload();
  http::write(c, res);
  char got[256];
  ssize_t n = ::recv(sv[1], got, sizeof got, 0);
  ASSERT_GT(n, 0);
  EXPECT_NE(std::string(got, n).find("HTTP/1.1 404 Not Found\r\n"), std::string::npos);
  EXPECT_EQ(std::string(got, n).substr(n - 4), "gone");
  ::close(sv[1]);
}

}  // namespace
}  // namespace vexa

// The listener in-process on a free port with small bounds: limits, refusals,
// keep-alive, method filter and a Stop that ends every connection.

#include "server/http/https_server.hpp"
#include "server/http/web_server.hpp"
#include "test_tls.hpp"

#include "core/globals.hpp"
#include "core/json.hpp"

#include <gtest/gtest.h>
#include <boost/beast/core/flat_buffer.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace vexa {
namespace {

int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void SendAll(int fd, const std::string& s) {
  ASSERT_EQ(::send(fd, s.data(), s.size(), MSG_NOSIGNAL), ssize_t(s.size()));
}

// A bound on waits for what comes at once, or after a bound of the test's
// own: only a fault reaches it.
constexpr auto kPrompt = 20s;  // the server's own bounds are 30 s

// Waits until the server closes (true) or `limit` passes (false); whatever
// arrived is appended to `got`.
bool WaitClosed(int fd, std::chrono::milliseconds limit, std::string* got = nullptr) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return true;
    if (got) got->append(buf, n);
  }
  return false;
}

// Reads until `text` has arrived (true), the server closes or kPrompt passes
// (false); whatever arrived is appended to `got`.
bool ReadUntil(int fd, const std::string& text, std::string& got) {
  auto deadline = std::chrono::steady_clock::now() + kPrompt;
  char buf[4096];
  while (got.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    got.append(buf, n);
  }
  return true;
}

class Listener : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vexa-listener-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    std::ofstream(dir_ / "a.txt") << "hello";
    test::WriteServerPem((dir_ / "c.pem").string(), (dir_ / "k.pem").string());
    savedSettings_ = Settings;
    savedProj_ = ProjPath;
    settings_ = TJSON::CreateFromText(R"({"secure":0,"php":"php"})");
    Settings = &settings_;
    ProjPath = dir_.string();
    server_.Host = "127.0.0.1";
    server_.Port = 0;
    server_.CertFile = (dir_ / "c.pem").string();
    server_.KeyFile = (dir_ / "k.pem").string();
  }
  void TearDown() override {
    server_.Stop();
    Settings = savedSettings_;
    ProjPath = savedProj_;
    fs::remove_all(dir_);
  }
  // One request on a client connection (kept open) and its parsed reply.
  HttpResponse Ask(TConnection& c, const std::string& wire) {
    c.Write(wire);
    HttpResponse res;
    http::read(c, buffer_, res);
    return res;
  }
  bool WaitCount(size_t n) {
    const auto end = std::chrono::steady_clock::now() + kPrompt;
    while (server_.ConnectionCount() != n) {
      if (std::chrono::steady_clock::now() >= end) return false;
      std::this_thread::sleep_for(10ms);
    }
    return true;
  }

  fs::path dir_;
  TJSON settings_;
  TJSON* savedSettings_ = nullptr;
  std::string savedProj_;
  TShttpsServer server_;
  boost::beast::flat_buffer buffer_;
};

TEST_F(Listener, KeepAliveMethodsAndUpgradeSpelling) {
  server_.Start();
  TConnection c(Connect(server_.BoundPort()), "server");
  c.SetReadTimeout(kPrompt);
  auto r1 = Ask(c, "GET /a.txt?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(r1.result_int(), 200);
  EXPECT_EQ(r1.body(), "hello");
  EXPECT_EQ(r1[http::field::cache_control], "public, max-age=864000");
  auto r2 = Ask(c, "PUT /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 2\r\n\r\nxy");
  EXPECT_EQ(r2.result_int(), 405);
  EXPECT_EQ(r2[http::field::allow], "GET, POST");
  auto r3 = Ask(c, "HEAD /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  EXPECT_EQ(r3.result_int(), 405);
  // Only the exact value "websocket" is an upgrade; the other spelling takes
  // the file road.
  auto r4 = Ask(c, "GET /b.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: WebSocket\r\n\r\n");
  EXPECT_EQ(r4.result_int(), 404);
  EXPECT_EQ(r4.body(), "404 " + dir_.string() + "/b.txt Not Found");
  auto r5 = Ask(c, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_EQ(r5.body(), "hello");
  auto r6 = Ask(c, "GET HTTP://127.0.0.1:9/a.txt?x HTTP/1.1\r\nHost: h\r\n\r\n");  // absolute form
  EXPECT_EQ(r6.body(), "hello");
  ASSERT_EQ(::mkfifo((dir_ / "f.txt").c_str(), 0644), 0);
  EXPECT_EQ(Ask(c, "GET /f.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").result_int(), 404);  // a FIFO holds no thread
  std::ofstream(dir_ / "e.txt").close();
  EXPECT_EQ(Ask(c, "GET /e.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").body(), "");  // an empty file, not a 404
  EXPECT_EQ(server_.ConnectionCount(), 1u);  // all on one connection
  int once = Connect(server_.BoundPort());  // HTTP/1.0: refused, told so, and closed
  SendAll(once, "PUT /a.txt HTTP/1.0\r\n\r\n");
  std::string got;
  EXPECT_TRUE(WaitClosed(once, kPrompt, &got) && got.find("\r\nConnection: close\r\n") != std::string::npos) << got;
  ::close(once);
}

// A client that sends nothing is closed once the first-bytes bound has
// passed, and not before; one that was answered is closed once it stays idle
// past the read bound; requests too large or malformed are refused and
// closed.
TEST_F(Listener, BoundsOnSilentIdleAndOversizedClients) {
  server_.Limits.firstBytes = 300ms;
  server_.Start();
  // The bound runs from the connection's acceptance, which follows t0.
  const auto t0 = std::chrono::steady_clock::now();
  int silent = Connect(server_.BoundPort());
  EXPECT_TRUE(WaitClosed(silent, kPrompt));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  ::close(silent);
  server_.Stop();

  // The clients below send their request at once; the first bytes may take
  // as long as a loaded machine needs.
  server_.Limits.firstBytes = TServerLimits{}.firstBytes;
  server_.Limits.requestRead = 300ms;
  server_.Limits.headerBytes = 1024;
  server_.Limits.bodyBytes = 1000;
  server_.Start();
  const uint16_t port = server_.BoundPort();

  int idle = Connect(port);
  SendAll(idle, "GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  std::string got;
  EXPECT_TRUE(WaitClosed(idle, kPrompt, &got));  // answered, then closed when idle
  EXPECT_NE(got.find("hello"), std::string::npos);
  ::close(idle);

  int header = Connect(port);
  SendAll(header, "GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + std::string(2000, 'a') + "\r\n\r\n");
  got.clear();
  EXPECT_TRUE(WaitClosed(header, kPrompt, &got));
  EXPECT_EQ(got.rfind("HTTP/1.1 431", 0), 0u) << got;
  ::close(header);

  int body = Connect(port);
  SendAll(body, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5000\r\n\r\n");
  got.clear();
  EXPECT_TRUE(WaitClosed(body, kPrompt, &got));
  EXPECT_EQ(got.rfind("HTTP/1.1 413", 0), 0u) << got;
  ::close(body);

  int chunked = Connect(port);
  SendAll(chunked, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" +
                       std::string("800\r\n") + std::string(0x800, 'x') + "\r\n");
  got.clear();
  EXPECT_TRUE(WaitClosed(chunked, kPrompt, &got));
  EXPECT_EQ(got.rfind("HTTP/1.1 413", 0), 0u) << got;
  ::close(chunked);

  int bad = Connect(port);
  SendAll(bad, "GET / HTTP/1.1\r\nBad Header Line\r\n\r\n");
  got.clear();
  EXPECT_TRUE(WaitClosed(bad, kPrompt, &got));
  EXPECT_EQ(got.rfind("HTTP/1.1 400", 0), 0u) << got;
  ::close(bad);
  EXPECT_TRUE(WaitCount(0));
}

TEST_F(Listener, BodiesOfAllConnectionsShareOneBudget) {
  server_.Limits.memoryBudget = 3000;
  server_.Start();
  const uint16_t port = server_.BoundPort();
  // Holds 2000 of the 3000 bytes from its header on: "100 Continue" says so.
  int holder = Connect(port);
  SendAll(holder,
          "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nExpect: 100-continue\r\n"
          "Content-Length: 2000\r\n\r\n");
  std::string got;
  ReadUntil(holder, "\r\n\r\n", got);
  ASSERT_EQ(got, "HTTP/1.1 100 Continue\r\n\r\n");

  int announced = Connect(port);
  SendAll(announced, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1001\r\n\r\n");
  got.clear();
  EXPECT_TRUE(WaitClosed(announced, kPrompt, &got));
  EXPECT_EQ(got.rfind("HTTP/1.1 503", 0), 0u) << got;
  ::close(announced);

  // A chunked body is counted as it grows.
  int chunked = Connect(port);
  SendAll(chunked, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n");
  for (int i = 0; i < 4; ++i) {
    if (::send(chunked, "200\r\n", 5, MSG_NOSIGNAL) != 5) break;
    if (::send(chunked, std::string(0x200, 'c').data(), 0x200, MSG_NOSIGNAL) != 0x200) break;
    if (::send(chunked, "\r\n", 2, MSG_NOSIGNAL) != 2) break;
  }
  got.clear();
  EXPECT_TRUE(WaitClosed(chunked, kPrompt, &got));
  EXPECT_EQ(got.rfind("HTTP/1.1 503", 0), 0u) << got;
  ::close(chunked);

  // Bodies within what is left are served, and so are larger ones once the
  // holder's body has come and gone.
  int small = Connect(port);
  SendAll(small, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 900\r\n\r\n" +
                     std::string(900, 's'));
  got.clear();
  EXPECT_TRUE(WaitClosed(small, kPrompt, &got));
  EXPECT_NE(got.find("hello"), std::string::npos) << got;
  ::close(small);
  SendAll(holder, std::string(2000, 'h'));
  got.clear();
  // Its close comes once the request is done with, its charge given back.
  EXPECT_TRUE(WaitClosed(holder, kPrompt, &got));
  EXPECT_NE(got.find("hello"), std::string::npos) << got;
  int after = Connect(port);
  SendAll(after, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 2500\r\n\r\n" +
                     std::string(2500, 'a'));
  got.clear();
  EXPECT_TRUE(WaitClosed(after, kPrompt, &got));
  EXPECT_NE(got.find("hello"), std::string::npos) << got;
  ::close(after);
  ::close(holder);
}

// A body is charged as it arrives (one read's step ahead), not by the length
// it announces, and one that stops moving is closed by the progress rule
// long before the per-read limit, its charge given back.
TEST_F(Listener, BodiesAreChargedAsTheyArriveAndMustKeepMoving) {
  server_.Limits.memoryBudget = 150 * 1024;
  server_.Limits.bodyProgress = {2s, 4096};
  server_.Start();
  const uint16_t port = server_.BoundPort();
  auto announce = [&](const std::string& extra) {
    int fd = Connect(port);
    SendAll(fd, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n" + extra + "\r\n");
    return fd;
  };
  auto continued = [](int fd) {
    std::string got;
    ReadUntil(fd, "\r\n\r\n", got);
    return got == "HTTP/1.1 100 Continue\r\n\r\n";
  };
  // Two bodies announcing 1 MiB each hold one step of 64 KiB, not 1 MiB.
  int a = announce("Content-Length: 1048576\r\n");
  ASSERT_TRUE(continued(a));
  int b = announce("Transfer-Encoding: chunked\r\n");
  ASSERT_TRUE(continued(b));
  SendAll(b, "10\r\n0123456789abcdef\r\n");
  int c = announce("Content-Length: 1048576\r\n");  // a third step does not fit
  std::string got;
  EXPECT_TRUE(WaitClosed(c, kPrompt, &got));
  EXPECT_EQ(got.rfind("HTTP/1.1 503", 0), 0u) << got;
  ::close(c);
  int small = Connect(port);  // an honest body beside them
  SendAll(small, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: 1000\r\n\r\n" +
                     std::string(1000, 's'));
  got.clear();
  EXPECT_TRUE(WaitClosed(small, kPrompt, &got));
  EXPECT_NE(got.find("hello"), std::string::npos) << got;
  ::close(small);

  // Both stop moving: each is closed within two spans, long before the
  // per-read limit (30 s), told so, and its share is free again.
  for (int fd : {a, b}) {
    got.clear();
    EXPECT_TRUE(WaitClosed(fd, kPrompt, &got));
    EXPECT_NE(got.find("HTTP/1.1 408"), std::string::npos) << got;
    ::close(fd);
  }
  int d = announce("Content-Length: 1048576\r\n");
  EXPECT_TRUE(continued(d));
  ::close(d);

  // A body that keeps moving at more than the rule asks is served, however
  // long it takes: three spans here, each bringing eight times what the rule
  // asks.
  ASSERT_TRUE(WaitCount(0));
  int steady = Connect(port);
  const size_t total = 96 * 1024;
  SendAll(steady, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Length: " +
                      std::to_string(total) + "\r\n\r\n");
  for (size_t sent = 0; sent < total; sent += 4096) {
    SendAll(steady, std::string(4096, 'x'));
    std::this_thread::sleep_for(250ms);
  }
  got.clear();
  EXPECT_TRUE(WaitClosed(steady, kPrompt, &got));
  EXPECT_NE(got.find("hello"), std::string::npos) << got;
  ::close(steady);
}

TEST_F(Listener, ConnectionLimitRefusesOneMoreAndGoesOn) {
  server_.Limits.maxConnections = 2;
  server_.Start();
  const uint16_t port = server_.BoundPort();
  int a = Connect(port), b = Connect(port);
  ASSERT_TRUE(WaitCount(2));
  int c = Connect(port);
  EXPECT_TRUE(WaitClosed(c, kPrompt));  // closed at once, nothing sent
  ::close(c);
  ::close(a);
  ASSERT_TRUE(WaitCount(1));
  int d = Connect(port);
  SendAll(d, "GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  std::string got;
  EXPECT_TRUE(WaitClosed(d, kPrompt, &got));
  EXPECT_NE(got.find("hello"), std::string::npos);
  ::close(d);
  ::close(b);
}

TEST_F(Listener, StopEndsEveryConnectionPromptly) {
  server_.Start();
  const uint16_t port = server_.BoundPort();
  int keep = Connect(port);
  SendAll(keep, "GET /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
  int half = Connect(port);
  SendAll(half, "POST /a.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\nabc");
  int silent = Connect(port);
  int tls = Connect(port);
  const unsigned char start[] = {0x16, 0x03, 0x01};  // a handshake that never goes on
  ::send(tls, start, sizeof start, MSG_NOSIGNAL);
  ASSERT_TRUE(WaitCount(4));
  // Promptly: without waiting for any of the server's 30 s bounds.
  auto t0 = std::chrono::steady_clock::now();
  server_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kPrompt);
  EXPECT_EQ(server_.ConnectionCount(), 0u);
  for (int fd : {keep, half, silent, tls}) {
    EXPECT_TRUE(WaitClosed(fd, kPrompt));
    ::close(fd);
  }
  EXPECT_EQ(Connect(port), -1);  // nothing listens any more
}

TEST_F(Listener, StartFailuresRaise) {
  server_.Start();
  TShttpsServer second;
  second.Host = "127.0.0.1";
  second.Port = server_.BoundPort();
  second.CertFile = server_.CertFile;
  second.KeyFile = server_.KeyFile;
  try {
    second.Start();
    ADD_FAILURE() << "a port in use was bound";
  } catch (const std::exception& e) {
    // One readable line for the console.
    EXPECT_EQ(std::string(e.what()), "Cannot bind 127.0.0.1:" + std::to_string(second.Port) +
                                         ": Address already in use");
  }

  TShttpsServer badCert;
  badCert.Host = "127.0.0.1";
  badCert.CertFile = (dir_ / "missing.pem").string();
  badCert.KeyFile = server_.KeyFile;
  EXPECT_THROW(badCert.Start(), std::exception);

  TSWebServer front(0, "127.0.0.1");
  front.Stop();  // never started: nothing to do, nothing raised
}

}  // namespace
}  // namespace vexa

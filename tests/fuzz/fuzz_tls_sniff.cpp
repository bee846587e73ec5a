// The TLS sniff on a connection's first bytes, and what follows a positive
// verdict: the server side of the handshake over arbitrary client bytes. A
// client that stops mid-handshake must make the handshake fail within its
// bound, never hang it.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include "fuzz_support.hpp"
#include "server/http/connection.hpp"
#include "server/http/https_server.hpp"
#include "test_tls.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  static const bool ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignored;
  static const vexa::test::SslCtxPtr ctx = vexa::test::MakeServerContext();

  const bool tls = vexa::IsTLSClientHelloBytes(data, size < 6 ? size : 6);
  if (!tls) return 0;

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const int client = fds[1];
  const std::string input(vexa::fuzz::AsText(data, size));
  std::thread peer([&] {
    std::string_view rest = input;
    while (!rest.empty()) {
      const ssize_t n = ::send(client, rest.data(), rest.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      rest.remove_prefix(static_cast<size_t>(n));
    }
    ::shutdown(client, SHUT_WR);
    char buf[16384];
    while (::recv(client, buf, sizeof buf, 0) > 0) {
    }
  });
  {
    vexa::TConnection connection(fds[0], "127.0.0.1", 40001);
    unsigned char first[6];
    const size_t n = connection.Peek(first, sizeof first, std::chrono::milliseconds(2000));
    FUZZ_CHECK(n > 0, "peek saw nothing");
    FUZZ_CHECK(vexa::IsTLSClientHelloBytes(first, n) == tls, "verdict differs after the peek");
    const auto start = std::chrono::steady_clock::now();
    try {
      connection.StartTLS(ctx.get(), std::chrono::milliseconds(3000));
      // A handshake cannot finish with a client that never reads our reply.
      vexa::fuzz::Fail("handshake finished with a one-way client");
    } catch (const std::runtime_error&) {
    }
    FUZZ_CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(10),
               "failed handshake took longer than its bound");
    connection.Shutdown();
  }
  peer.join();
  ::close(client);
  return 0;
}

// The WebSocket frame reader fed arbitrary bytes after a handshake that agreed
// permessage-deflate. The engine runs on one end of a socket pair exactly as
// on a client connection; a writer thread sends the input and then ends its
// side, a drain thread reads whatever the server answers. Every input must end
// with the disconnect event fired once, and no message beyond the size bound.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "fuzz_support.hpp"
#include "server/http/connection.hpp"
#include "server/websocket/websocket_handler.hpp"

namespace {

void WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return;  // the server closed: the rest is not wanted
    bytes.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  static const bool ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignored;

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  const int client = fds[1];
  const std::string input(vexa::fuzz::AsText(data, size));

  std::thread writer([&] {
    WriteAll(client, input);
    ::shutdown(client, SHUT_WR);
  });
  std::thread drain([&] {
    char buf[65536];
    while (::recv(client, buf, sizeof buf, 0) > 0) {
    }
  });

  {
    vexa::TConnection connection(fds[0], "127.0.0.1", 40000);
    connection.SetWriteTimeout(std::chrono::seconds(5));
    vexa::HttpRequest request{vexa::http::verb::get, "/ws", 11};
    request.set("Host", "127.0.0.1");
    request.set("Upgrade", "websocket");
    request.set("Connection", "Upgrade");
    request.set("Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ==");
    request.set("Sec-WebSocket-Version", "13");
    request.set("Sec-WebSocket-Extensions", "permessage-deflate; client_max_window_bits");

    std::atomic<int> disconnects{0};
    std::atomic<size_t> largest{0};
    size_t bound = vexa::TWebSocketHandler::DefaultMaxMessageSize;
    vexa::TWsEvents events;
    events.OnWsConnect = [&](vexa::TWebSocketHandler& handler, vexa::TConnection&, vexa::HttpRequest&,
                             bool) {
      FUZZ_CHECK(handler.UseDeflate(), "deflate was offered but not agreed");
      bound = handler.MaxMessageSize();
    };
    events.OnWsMessage = [&](vexa::TConnection&, vexa::HttpRequest&, const std::string& text) {
      if (text.size() > largest) largest = text.size();
    };
    events.OnWsDisconnect = [&](vexa::TConnection&, vexa::HttpRequest&) { ++disconnects; };

    FUZZ_CHECK(vexa::HandleWebSocket(connection, request, false, events), "handshake refused");
    FUZZ_CHECK(disconnects == 1, "disconnect fired " + std::to_string(disconnects.load()) + " times");
    // Unmasked server text counts up to three bytes per replaced input byte.
    FUZZ_CHECK(largest <= bound, "message above the size bound");
    writer.join();  // the server shut its side, so a blocked send returns
  }
  // The connection closed the server end: the drain sees the end.
  drain.join();
  ::close(client);
  return 0;
}

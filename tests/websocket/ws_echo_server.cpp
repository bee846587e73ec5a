// A WebSocket echo server on the engine, for the end-to-end tests and the
// benchmark. Serves plain and TLS on one free loopback port, prints
// "PORT <n>" once it listens and runs until its standard input closes.
// Every message comes back as one text frame.

#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "server/http/connection.hpp"
#include "ws_test_host.hpp"

int main() {
  using namespace vexa;
  std::shared_mutex lock;
  std::unordered_map<const TConnection*, TWebSocketHandler*> handlers;

  TWsEvents events;
  events.OnWsConnect = [&](TWebSocketHandler& handler, TConnection& connection, HttpRequest&,
                           bool) {
    std::lock_guard<std::shared_mutex> g(lock);
    handlers[&connection] = &handler;
  };
  events.OnWsMessage = [&](TConnection& connection, HttpRequest&, const std::string& text) {
    TWebSocketHandler* handler;
    {
      std::shared_lock<std::shared_mutex> g(lock);
      handler = handlers.at(&connection);
    }
    handler->SendMessage(text);
  };
  events.OnWsDisconnect = [&](TConnection& connection, HttpRequest&) {
    std::lock_guard<std::shared_mutex> g(lock);
    handlers.erase(&connection);
  };

  auto ctx = test::MakeSelfSignedServerContext();
  test::TWsTestHost host(ctx.get(), events);
  std::printf("PORT %u\n", static_cast<unsigned>(host.Port()));
  std::fflush(stdout);
  char buf[256];
  while (::read(0, buf, sizeof buf) > 0) {
  }
  return 0;
}

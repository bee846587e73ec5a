#pragma once
// A small stand-in listener that hosts the WebSocket engine for tests and the
// benchmark: one loopback port, TLS or plain chosen per connection from its
// first bytes, one thread per connection, upgrade requests handed to
// HandleWebSocket and anything else answered with 400.

#include <openssl/ssl.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/websocket/websocket_handler.hpp"

namespace vexa::test {

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

// A server context with a fresh EC key and a self-signed certificate for
// "localhost".
SslCtxPtr MakeSelfSignedServerContext();

class TWsTestHost {
 public:
  // Listens on 127.0.0.1 on a free port. `ctx` may be null (plain only).
  TWsTestHost(SSL_CTX* ctx, TWsEvents events);
  // Stops accepting, shuts every open connection and joins every thread.
  ~TWsTestHost();
  TWsTestHost(const TWsTestHost&) = delete;
  TWsTestHost& operator=(const TWsTestHost&) = delete;

  uint16_t Port() const { return port_; }

 private:
  struct Client {
    std::thread thread;
    TConnection* connection = nullptr;  // while serving; guarded by lock_
    bool done = false;
  };

  void AcceptLoop();
  void Serve(Client* client, int fd);
  void ReapFinished();

  SSL_CTX* ctx_;
  TWsEvents events_;
  int listenFd_ = -1;
  int wakePipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex lock_;
  std::list<Client> clients_;
  std::thread acceptThread_;
};

}  // namespace vexa::test

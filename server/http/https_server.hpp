#pragma once
// TShttpsServer: the one-port listener. Plain HTTP, HTTPS and WebSocket (plain
// and over TLS) share one IPv4 socket; each connection's first bytes decide
// whether it speaks TLS.
//
// One thread per connection, at most kMaxConnections at once; one more is
// closed at once and the server goes on. Stop closes the listening socket,
// shuts every open connection and joins every thread.
//
// Bounds, so that a silent or endless client cannot hold a thread or memory:
//  - first bytes of a new connection: 30 s, then it is closed;
//  - the TLS handshake: 30 s;
//  - each read while a request is expected or arriving: 30 s (an idle
//    keep-alive connection is closed after that);
//  - request header: 64 KiB (else 431, connection closed);
//  - request body: 64 MiB (else 413, connection closed);
//  - a request body in progress must bring at least 64 KiB (or its rest) in
//    every 10 s from the end of its header, else one console line, a 408
//    when it goes out at once, and the connection closed;
//  - memory held for clients at once, summed over all connections: 1 GiB.
//    Request bodies (else 503, connection closed): what arrived, plus one
//    64 KiB step ahead for the next read, whatever length was announced,
//    until the request ends. WebSocket messages in progress (else close
//    1009): what their frames, fragments and inflated text hold, until the
//    message is delivered or the connection ends.
// A WebSocket connection has the read bound only while a frame or a
// fragmented message is unfinished; between messages it has none.
//
// Before any road sees a request (and before its body is read):
//  - framing: a Transfer-Encoding other than "chunked" gets 501, a broken
//    chunked body 400, an HTTP/1.1 request without a Host field (or any with
//    two) 400, a target that is neither "/..." nor absolute ("http://...",
//    rewritten to "/...") nor "*" of OPTIONS 400, each closing the connection;
//  - from a client on this machine (a loopback address, or any of the
//    machine's own addresses), whatever address the listener has, a Host
//    field that names anything but a loopback address, "localhost", the
//    listener's configured host, this machine's host name or the address the
//    client connected to gets 403 (a foreign DNS name pointed at 127.0.0.1
//    or at the machine's LAN address);
//  - a POST or a WebSocket upgrade whose Origin is not the server's own
//    (scheme of the connection, host and port of the Host field; "null" only
//    with "Sec-Fetch-Site: same-origin") gets 403.
// A refused request is answered and the connection closed; nothing runs.
//
// Only GET and POST reach the roads; other methods get 405 with
// "Allow: GET, POST". A request with "Upgrade: websocket" (exact) goes to the
// WebSocket road, any other to TRequestHandler.

#include <openssl/ssl.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "server/http/connection.hpp"
#include "server/http/http_types.hpp"
#include "core/memory_budget.hpp"
#include "core/min_data_rate.hpp"
#include "server/http/request_checks.hpp"
#include "server/websocket/websocket_handler.hpp"

namespace vexa {

struct TServerLimits {
  std::chrono::milliseconds firstBytes{30000};
  std::chrono::milliseconds handshake{30000};
  // Each read while a request header or body is expected or arriving.
  std::chrono::milliseconds requestRead{30000};
  // Each read while a WebSocket frame or fragmented message is unfinished.
  std::chrono::milliseconds wsFrameRead{30000};
  // The progress a request body must make from the end of its header on.
  TDataRateRule bodyProgress{};
  size_t headerBytes = 64 * 1024;
  size_t bodyBytes = 64 * 1024 * 1024;
  // What request bodies and WebSocket messages of all connections hold together.
  size_t memoryBudget = size_t(1) << 30;
  size_t maxConnections = 1000;
};

class TShttpsServer {
 public:
  static constexpr size_t kMaxConnections = 1000;

  TShttpsServer();
  ~TShttpsServer();  // stops when still running
  TShttpsServer(const TShttpsServer&) = delete;
  TShttpsServer& operator=(const TShttpsServer&) = delete;

  uint16_t Port = 0;
  std::string Host;
  std::string CertFile;
  std::string KeyFile;
  std::string RootCertFile;
  // The WebSocket events; without all three a WebSocket request gets 501.
  TWsEvents WsEvents;
  TServerLimits Limits;

  // Prints the "SSL ..." and "Zlib version loaded: ..." lines, loads the TLS
  // files, binds and starts accepting. Raises on failure. Once per object.
  void Start();
  // Stops accepting, ends every connection and joins every thread. Raises
  // only when closing the listening socket fails.
  void Stop();
  // The port actually bound (useful when Port is 0).
  uint16_t BoundPort() const { return boundPort_; }
  // Connections currently served.
  size_t ConnectionCount();

  // Whether the first bytes of a connection open a TLS session: peeks at up
  // to 6 bytes without consuming them, waiting up to the first-bytes bound.
  bool IsTLSClientHello(TConnection& connection);

 private:
  struct Entry {
    std::unique_ptr<TConnection> connection;
    std::thread thread;
    bool finished = false;
  };

  void AcceptLoop();
  void JoinFinished();
  void ServeConnection(Entry& entry);
  // The refusal of a request from its header alone, after its target is
  // brought to origin form; false when it may go on.
  bool RefuseHeader(TConnection& connection, HttpRequestHeader& header, bool secure, const OwnAddresses& own);
  // Verdict, refusal or TLS handshake. False: close the connection.
  bool ServerConnect(TConnection& connection, bool& secure);
  void RequestLoop(TConnection& connection, bool secure);
  // Answers one request that was read whole; false when the connection must
  // not be used for another request.
  bool ServeRequest(TConnection& connection, boost::beast::flat_buffer& buffer, const HttpRequest& request,
                    bool secure);
  // True when the connection must not be used for another request.
  bool HandleRequest(TConnection& connection, const HttpRequest& request, HttpReply& reply,
                     bool secure);

  boost::asio::io_context io_;
  std::optional<boost::asio::ip::tcp::acceptor> acceptor_;
  SSL_CTX* ctx_ = nullptr;
  uint16_t boundPort_ = 0;
  LocalHostNames localNames_;  // set by Start
  TMemoryBudget memoryBudget_{size_t(1) << 30};  // limit set by Start
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex lock_;          // entries_
  std::list<Entry> entries_;
};

// The TLS sniff on a connection's first bytes (n of them, up to 6).
bool IsTLSClientHelloBytes(const unsigned char* bytes, size_t n);
// Whether the setting "secure" asks for TLS only: the number 1, or a text
// that reads as the number 1.
bool SecureRequired();
// The folder the OpenSSL library was loaded from, with a trailing "/".
std::string OpenSSLFolder();

}  // namespace vexa

#pragma once
// TSWebServer: the front object of the listener that the application object
// creates, starts, stops and frees. It owns the TShttpsServer and the
// WebSocket message router bound to the listener's WebSocket events.

#include <memory>
#include <string>

#include "server/http/https_server.hpp"

namespace vexa {

class TWsRequestHandler;

class TSWebServer {
 public:
  // Nothing listens yet.
  TSWebServer(int port, const std::string& host);
  ~TSWebServer();
  TSWebServer(const TSWebServer&) = delete;
  TSWebServer& operator=(const TSWebServer&) = delete;

  void SetSSLFiles(const std::string& certFile, const std::string& keyFile,
                   const std::string& rootCertFile);
  // Raises when the listener cannot start (port in use, bad TLS files).
  void Start();
  // Never raises: a failure is the console line "Server Error:- " + message.
  void Stop();

  TShttpsServer& Server() { return *server_; }

 private:
  // WebSocket message router: created first and bound to the server's
  // WsEvents here (OnWsConnect, OnWsDisconnect, OnWsMessage, in that order).
  // Declared before the listener so that it outlives every connection.
  std::unique_ptr<TWsRequestHandler> wsHandler_;
  std::unique_ptr<TShttpsServer> server_;
};

}  // namespace vexa

#include "server/http/web_server.hpp"

#include <exception>

#include "core/globals.hpp"
#include "server/bridge/ws_request_handler.hpp"

namespace vexa {

TSWebServer::TSWebServer(int port, const std::string& host)
    : wsHandler_(std::make_unique<TWsRequestHandler>()), server_(std::make_unique<TShttpsServer>()) {
  server_->Port = static_cast<uint16_t>(port);
  server_->Host = host;
  server_->WsEvents = wsHandler_->Events();
}

TSWebServer::~TSWebServer() {
  Stop();
  server_.reset();
}

void TSWebServer::SetSSLFiles(const std::string& certFile, const std::string& keyFile,
                              const std::string& rootCertFile) {
  server_->CertFile = certFile;
  server_->KeyFile = keyFile;
  server_->RootCertFile = rootCertFile;
}

void TSWebServer::Start() { server_->Start(); }

void TSWebServer::Stop() {
  try {
    server_->Stop();
  } catch (const std::exception& e) {
    WriteLine("Server Error:- " + std::string(e.what()));
  } catch (...) {
    WriteLine("Server Error:- unknown");
  }
}

}  // namespace vexa

#include "server/startup/web_server_listener.hpp"

#include "server/http/web_server.hpp"

namespace vexa {

namespace {

class WebServerListener : public TListener {
 public:
  WebServerListener(int port, const std::string& host) : server_(port, host) {}
  void SetSSLFiles(const std::string& cert, const std::string& key, const std::string& ca) override {
    server_.SetSSLFiles(cert, key, ca);
  }
  void Start() override { server_.Start(); }
  void Stop() override { server_.Stop(); }

 private:
  TSWebServer server_;
};

}  // namespace

std::unique_ptr<TListener> MakeWebServerListener(int port, const std::string& host) {
  return std::make_unique<WebServerListener>(port, host);
}

}  // namespace vexa

#include "server/startup/web_server_listener.hpp"

#include <stdexcept>

#if __has_include("server/http/web_server.hpp")
#include "server/http/web_server.hpp"
#define VEXA_HAVE_WEB_SERVER 1
#endif

namespace vexa {

namespace {

#ifdef VEXA_HAVE_WEB_SERVER
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
#else
// Stands in while the web server is not part of the build: start-up and
// shutdown run, but nothing listens.
class WebServerListener : public TListener {
 public:
  WebServerListener(int, const std::string&) {}
  void SetSSLFiles(const std::string&, const std::string&, const std::string&) override {}
  void Start() override { throw std::runtime_error("this build has no web server"); }
  void Stop() override {}
};
#endif

}  // namespace

std::unique_ptr<TListener> MakeWebServerListener(int port, const std::string& host) {
  return std::make_unique<WebServerListener>(port, host);
}

}  // namespace vexa

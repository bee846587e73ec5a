// vexaserver: serves one PHP application project over HTTP, HTTPS and
// WebSocket on one port, optionally in a desktop window.
//
// Exit codes: 0 after the orderly shutdown; 1 after the shutdown that follows
// a listener that could not start (port taken, TLS files unusable); 217 when
// the start-up fails (bundle settings unreadable, no "host" or "port", ...),
// after a one-line report on standard error.

#include <malloc.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "core/globals.hpp"
#include "platform/signals.hpp"
#include "server/bridge/ws_app.hpp"
#include "server/startup/start_app.hpp"
#include "server/startup/web_server_listener.hpp"

int main(int argc, char** argv) {
  vexa::platform::IgnoreSigpipe();
  // Buffers of a mebibyte or more (messages, replies, bodies) get pages of
  // their own, given back when freed: otherwise the allocator raises its
  // threshold with every large free and keeps such memory for good.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
  vexa::TStartApp::Options options;
  options.args.assign(argv + 1, argv + argc);
  options.listener = vexa::MakeWebServerListener;
  // The shutdown walk over WsApps ends each WebSocket connection.
  vexa::TStartApp::DisconnectClients = vexa::DisconnectWsClients;

  std::unique_ptr<vexa::TStartApp> app;
  std::string failure;
  bool listenerFailed = false;
  try {
    app = std::make_unique<vexa::TStartApp>(std::move(options));
    vexa::App = app.get();
    app->Run();
    listenerFailed = app->StartFailed();
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown error";
  }
  app.reset();
  vexa::App = nullptr;
  if (failure.empty()) return listenerFailed ? 1 : 0;

  for (char& c : failure)
    if (c == '\n' || c == '\r') c = ' ';
  std::string line = "vexaserver: start-up failed: " + failure + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  return 217;
}

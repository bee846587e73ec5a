#include "server/bridge/ws_app.hpp"

#include <algorithm>
#include <chrono>
#include <exception>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "server/bridge/gs_app.hpp"
#include "server/bridge/vexa_requester.hpp"
#include "server/bridge/web_socket_a.hpp"
#include "server/http/shared_routines.hpp"
#include "server/websocket/websocket_handler.hpp"

namespace vexa {

std::mutex& WsRegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

TWsApp::TWsApp(int32_t conId, std::shared_ptr<TWebSocketA> webSocket) : ConId(conId) {
  WebSocket = std::move(webSocket);
}

TWsApp::~TWsApp() {
  // Declared before the lock, so they are dropped after it is released:
  // dropping a requester stops its process and waits for its callbacks.
  std::map<std::string, std::shared_ptr<TVexaRequester>> apps;
  std::shared_ptr<TWebSocketA> webSocket;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    Closing = true;
    for (auto& [name, app] : Apps)
      if (app && app->App == this) app->App = nullptr;
    apps.swap(Apps);
    Globals.clear();
    webSocket = std::move(WebSocket);
  }
  apps.clear();
  webSocket.reset();
}

void TWsApp::VexaClose(const std::string& name, ReleasedRefs& released) {
  if (Closing) return;  // the destruction frees it
  auto it = Apps.find(name);
  if (it == Apps.end()) {
    PrintError("VexaClose WsApp Error: Key " + ConsoleQuote(name) + " not found");
    return;
  }
  released.push_back(std::move(it->second));
  Apps.erase(it);
}

std::shared_ptr<TVexaRequester> TWsApp::CreateGlobal(const std::string& name) {
  auto it = Apps.find(name);
  if (it == Apps.end()) {
    PrintError("CreateGlobal Error: Key \"" + ConsoleQuote(name) + "\" not found");
    return nullptr;
  }
  auto requester = std::move(it->second);
  Apps.erase(it);
  return requester;
}

void TWsApp::NoteApp(const std::string& name) {
  // Noted again, a name becomes the latest.
  auto it = std::find(rememberedApps_.begin(), rememberedApps_.end(), name);
  if (it != rememberedApps_.end()) rememberedApps_.erase(it);
  if (rememberedApps_.size() >= kRememberedApps) rememberedApps_.pop_front();
  rememberedApps_.push_back(name);
}

bool TWsApp::HadApp(const std::string& name) const {
  return std::find(rememberedApps_.begin(), rememberedApps_.end(), name) != rememberedApps_.end();
}

JsonValue TWsApp::WconObject() const {
  JsonValue wcon = JsonValue::object();
  wcon["conid"] = std::to_string(ConId);
  wcon["REMOTE_ADDR"] = RemoteAddr;
  wcon["REMOTE_PORT"] = RemotePort;
  return wcon;
}

TJSON TWsApp::CloseDocument() const {
  TJSON doc;
  doc.Add("t", "c");
  doc.Current()["wcon"] = WconObject();
  return doc;
}

void TWsApp::CloseConnection() {
  std::vector<std::shared_ptr<TVexaRequester>> apps;
  std::vector<std::shared_ptr<TGsApp>> globals;
  std::shared_ptr<TWebSocketA> webSocket;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    webSocket = WebSocket;
    for (auto& [name, app] : Apps)
      if (app) apps.push_back(app);
    for (auto& [name, weak] : Globals)
      if (auto gs = weak.lock()) globals.push_back(std::move(gs));
    // The global applications this connection made hold it as a member
    // without a Globals entry.
    const std::string key = std::to_string(ConId);
    if (GsApps != nullptr) {
      for (const auto& [name, value] : *GsApps) {
        auto* entry = value.IsObject ? dynamic_cast<TGsAppEntry*>(value.Obj) : nullptr;
        if (entry == nullptr || !entry->App || entry->App->Conns.count(key) == 0) continue;
        if (std::find(globals.begin(), globals.end(), entry->App) == globals.end()) globals.push_back(entry->App);
      }
    }
  }
  // Outside the registry mutex: closing waits for a send under way to this
  // connection, which may be stuck on a client that does not read.
  if (webSocket) webSocket->MarkClosed();
  const TJSON closeDocument = CloseDocument();
  for (auto& app : apps) app->Quit(&closeDocument);
  for (auto& gs : globals) gs->DetachConnection(ConId, closeDocument);
  // The references taken above may be the last ones (an application that
  // ended meanwhile); they are dropped here, outside the registry mutex.
}

void DisconnectWsClients(const std::vector<TVexaBase*>& wsApps) {
  std::vector<std::shared_ptr<TWebSocketA>> sockets;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    for (TVexaBase* entry : wsApps) {
      auto* app = dynamic_cast<TWsApp*>(entry);
      if (app != nullptr && app->WebSocket) sockets.push_back(app->WebSocket);
    }
  }
  for (const auto& webSocket : sockets) webSocket->BeginDisconnect();
  const auto deadline = std::chrono::steady_clock::now() + TWebSocketHandler::DisconnectWait;
  for (const auto& webSocket : sockets) webSocket->EndDisconnect(deadline);
}

}  // namespace vexa

#include "server/bridge/gs_app.hpp"

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "server/bridge/vexa_requester.hpp"
#include "server/bridge/web_socket_a.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa {

TGsApp::TGsApp(std::string name, std::shared_ptr<TVexaRequester> requester)
    : Requester(std::move(requester)), Name(std::move(name)) {}

TGsApp::~TGsApp() {
  // Dropped after the lock: the requester's destruction stops the process.
  std::shared_ptr<TVexaRequester> requester;
  std::map<std::string, std::shared_ptr<TWebSocketA>> conns;
  std::shared_ptr<TWebSocketA> manager;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    Closing = true;
    if (Requester && Requester->App == this) Requester->App = nullptr;
    requester = std::move(Requester);
    conns.swap(Conns);
    manager = std::move(WebSocket);
  }
}

void TGsApp::DetachConnection(int32_t conId, const TJSON& closeDocument) {
  std::shared_ptr<TVexaRequester> requester;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    requester = Requester;
  }
  if (requester) requester->WsDisconnect(&closeDocument);
  std::shared_ptr<TWebSocketA> member;  // dropped after the lock
  std::lock_guard<std::mutex> lock(WsRegistryMutex());
  auto it = Conns.find(std::to_string(conId));
  if (it != Conns.end()) {
    member = std::move(it->second);
    Conns.erase(it);
  }
}

void TGsApp::VexaClose(const std::string& name, ReleasedRefs& released) {
  if (Closing || GsApps == nullptr) return;
  try {
    // Only this application's own entry goes: a newer global application
    // registered under the same name stays.
    auto* entry = dynamic_cast<TGsAppEntry*>(GsApps->GetObject(name));
    if (entry == nullptr || entry->App.get() != this) return;
    Any extracted = GsApps->Extract(name);
    released.push_back(std::shared_ptr<TVexaBase>(extracted.Obj));
  } catch (const std::exception& e) {
    PrintError("VexaClose GsApp Error: " + ConsoleQuote(e.what()));
  }
}

std::shared_ptr<TGsApp> FindGlobalLocked(const std::string& name) {
  if (GsApps == nullptr || !GsApps->ContainsKey(name)) return nullptr;
  auto* entry = dynamic_cast<TGsAppEntry*>(GsApps->GetObject(name));
  return entry ? entry->App : nullptr;
}

}  // namespace vexa

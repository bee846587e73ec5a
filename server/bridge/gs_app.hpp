#pragma once
// TGsApp: one global application, a PHP process that several connections
// share. Its replies go to its manager connection only (WebSocket); its
// members (Conns) receive data through "sendall". See ws_app.hpp for the
// locking and ownership rules.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/json.hpp"
#include "core/vexa_base.hpp"
#include "server/bridge/ws_app.hpp"

namespace vexa {

class TGsApp : public TSApp {
 public:
  TGsApp(std::string name, std::shared_ptr<TVexaRequester> requester);
  // Marks itself Closing and frees its requester (stopping the process).
  ~TGsApp() override;

  // A member connection has gone: "wsdiscon" to the application, then the
  // connection leaves Conns. Not under the registry mutex; raises on failure.
  void DetachConnection(int32_t conId, const TJSON& closeDocument);
  // The application's process has ended: this global application leaves
  // GsApps (when the entry there is still this one).
  void VexaClose(const std::string& name, ReleasedRefs& released) override;

  // Guarded by the registry mutex.
  bool Closing = false;
  std::map<std::string, std::shared_ptr<TWebSocketA>> Conns;  // conid -> member's send handle
  std::shared_ptr<TVexaRequester> Requester;                  // owned (shared with in-flight senders)

  const std::string Name;
};

// The GsApps entry of a global application: the registry's share of it.
class TGsAppEntry : public TVexaBase {
 public:
  explicit TGsAppEntry(std::shared_ptr<TGsApp> app) : App(std::move(app)) {}
  std::shared_ptr<TGsApp> App;
};

// The global application registered under `name`, or null. Registry mutex held.
std::shared_ptr<TGsApp> FindGlobalLocked(const std::string& name);

}  // namespace vexa

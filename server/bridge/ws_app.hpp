#pragma once
// The state of the WebSocket side between messages: TSApp, the owner of
// application objects, and TWsApp, the applications of one connection.
//
// How the registries stay safe without GlobalLock
// ------------------------------------------------
// GlobalLock is taken only around the four registry changes of the routing
// (connect, removal of a connection, a join, a new application). Everything
// else - lookups, the "sendall" walks, the IPC changes, an application
// leaving when its process ends, the shutdown walk - runs on other threads at
// the same time. Three rules keep that sound:
//
//  1. One short registry mutex (WsRegistryMutex) guards the structure of
//     every map involved (WsApps, GsApps, a TWsApp's Apps and Globals, a
//     TGsApp's Conns), the manager/send-handle links (TSApp::WebSocket) and
//     each requester's owner link (TVexaRequester::App). It is held only for
//     map work and pointer copies: never across a send, the close of a send
//     handle, a write to a process, a process stop or the destruction of
//     anything that may stop a process. GlobalLock, where taken, is taken
//     first and is held as briefly: a connection is extracted under it and
//     destroyed after it. The registry mutex never waits for GlobalLock.
//  2. Whatever outlives the mutex is held by shared ownership: send handles
//     (std::shared_ptr<TWebSocketA>), requesters (std::shared_ptr
//     <TVexaRequester>) and global applications (std::shared_ptr<TGsApp>,
//     held in GsApps through a TGsAppEntry). A walk copies the handles it
//     needs under the mutex and sends after releasing it; a reference that
//     may be the last one is always dropped after the mutex is released
//     (functions that run under the mutex hand such references back in a
//     ReleasedRefs list).
//  3. An owner that is being destroyed first, under the mutex, marks itself
//     Closing and clears the owner link of each of its requesters, so a
//     requester whose process ends concurrently never reaches a dying owner.
//     The requester's own destruction then waits for its callbacks that are
//     under way (the bridge's gate). Such a callback may be stuck sending
//     to a client that does not read, so that wait happens on the leaving
//     connection's own thread with no lock held: it delays nobody else.
//
// A TWsApp is owned by WsApps (TAssoArray) itself: only its own connection's
// thread removes it (and the listener's teardown after every connection
// thread has ended), and other threads reach it only under the mutex.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "core/vexa_base.hpp"
#include "core/process_slots.hpp"

namespace vexa {

class TGsApp;
class TVexaRequester;
class TWebSocketA;

// The registry mutex described above.
std::mutex& WsRegistryMutex();

// References released under the registry mutex, dropped after it.
using ReleasedRefs = std::vector<std::shared_ptr<void>>;

// The owner of application objects, the target of their calls back.
class TSApp : public TVexaBase {
 public:
  // The send handle that receives the replies of the owned applications.
  // Guarded by the registry mutex.
  std::shared_ptr<TWebSocketA> WebSocket;

  // An owned application has ended. Called with the registry mutex held.
  virtual void VexaClose(const std::string& name, ReleasedRefs& released) {
    (void)name;
    (void)released;
  }
  // An owned application becomes global: hands it over without freeing it
  // (null when it is not there). Called with the registry mutex held.
  virtual std::shared_ptr<TVexaRequester> CreateGlobal(const std::string& name) {
    (void)name;
    return nullptr;
  }
};

// The applications of one connection.
class TWsApp : public TSApp {
 public:
  TWsApp(int32_t conId, std::shared_ptr<TWebSocketA> webSocket);
  // Frees every application still in Apps (stopping its processes), then the
  // send handle. An application that ends meanwhile no longer reaches here.
  ~TWsApp() override;

  void VexaClose(const std::string& name, ReleasedRefs& released) override;
  std::shared_ptr<TVexaRequester> CreateGlobal(const std::string& name) override;

  // The connection has ended: closes the send handle, sends "quit" to each
  // application of the connection and "wsdiscon" to each global application
  // it is a member of, the one it made included (which drops it).
  // Connection's thread; raises on failure.
  void CloseConnection();
  // { "t" : "c", "wcon" : { "conid", "REMOTE_ADDR", "REMOTE_PORT" } }, all strings.
  TJSON CloseDocument() const;
  // The "wcon" object of this connection.
  JsonValue WconObject() const;

  // Guarded by the registry mutex.
  std::map<std::string, std::shared_ptr<TVexaRequester>> Apps;  // ctrl -> application, owning
  std::map<std::string, std::weak_ptr<TGsApp>> Globals;          // ctrl -> joined global, not owning
  bool Closing = false;

  // The names of the applications this connection started or joined, the
  // latest kRememberedApps of them: twice as many as it may run at once, so
  // a message for any application it runs or ran lately (one that has ended
  // since) is told apart from one for an application never started. The
  // connection's thread only.
  void NoteApp(const std::string& name);
  bool HadApp(const std::string& name) const;
  static constexpr size_t kRememberedApps = 64;
  static_assert(kRememberedApps >= 2 * TProcessLimits{}.MaxAppsPerConnection);

  const int32_t ConId;
  std::string RemoteAddr;        // the connection's thread only
  const std::string RemotePort;  // never assigned: always empty

 private:
  std::deque<std::string> rememberedApps_;  // oldest first
};

// Server shutdown: ends the connections of the given WsApps entries from
// another thread, all at once: each is asked to close, then all share one
// wait of about a second for their close frames. Other kinds of object are
// passed over.
void DisconnectWsClients(const std::vector<TVexaBase*>& wsApps);

}  // namespace vexa

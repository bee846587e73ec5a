#pragma once
// TVexaRequester: the long-lived PHP application of one connection (or, after
// "setglobal", of a global application), with the IPC commands that its
// "server" reply items carry:
//   "createprocess"  start the application's own child process (one at a time)
//   "sendall"        send a text to a set of connections (sendtype 1..4)
//   "setglobalm"     make another connection the global application's manager
//   "setglobal"      turn the application into a global application; when
//                    another process of that name is global already, the
//                    connection joins that one instead and this process is
//                    retired: it gets "quit" and is stopped only when it has
//                    not ended within kRetireGrace
//   "setproxy"       nothing
// Replies go to the send handle of the owner (App): the connection's TWsApp,
// or the TGsApp's manager connection.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/json.hpp"
#include "server/bridge/app_starts.hpp"
#include "server/bridge/vexa_app_middle.hpp"

namespace vexa {

class TSApp;
class TWebSocketA;

class TVexaRequester : public TVexaAppMiddle {
 public:
  // Fills OnData, OnError, OnExit and OnServerCommand with the operations below.
  TVexaRequester(const std::string& name, TSApp* owner, bool isWs);
  // The handlers use App and Name: end the process and its callbacks before
  // those members go.
  ~TVexaRequester() override;

  // How long a retired process has to end after its "quit".
  static constexpr std::chrono::milliseconds kRetireGrace{2000};

  // The start (in AppStarts()) that this process stands for; it settles with
  // the first reply, the end of the process or this object's destruction.
  void HoldStart(TAppStarts::Id id) { startId_ = id; }

  // Takes the text: it goes to the connection's send queue as it is.
  void OnAppData(const TJSON& envelope, std::string& text, bool isJson, bool isItem);
  void OnAppError(const std::string& line);
  // Hands the end of the process to the owner, which drops this requester.
  void OnAppExit();
  // Runs the commands of one "server" item in order; any failure but that of
  // "createprocess" ends the walk with the "invalid command" line.
  // Takes the item apart (a "sendall" text is moved, not copied).
  void OnServerCmd(JsonValue& item);

  // The four "sendall" deliveries (sendtype 1, 2, 3, any other).
  void SendToGroup(const std::string& groupctrl, const std::string& datatype, std::string rawdata,
                   int32_t conid);
  void SendToAllOthers(const std::string& groupctrl, const std::string& datatype, std::string rawdata,
                       int32_t conid);
  void SendToConnection(const std::string& groupctrl, const std::string& datatype, std::string rawdata,
                        int32_t conid);
  void SendToSubscribers(const std::string& groupctrl, const std::string& datatype, std::string rawdata,
                         int32_t conid);
  void SetGlobal();
  void SetGlobalManager(int32_t conid);

  // The owner; guarded by the registry mutex (WsRegistryMutex). Cleared by
  // an owner that is being destroyed.
  TSApp* App;
  const std::string Name;
  // The message that started the application, as it reached the process
  // ("wconn" and "wcon" in its "bdata"); set before the process starts.
  std::string StartMessage;

 private:
  void SettleStart(TAppStarts::TKind kind = TAppStarts::TKind::Unknown);
  // Another process of this name was global first: "quit", then the grace.
  void Retire();
  void CreateProcess(const TJSON& commands, int index);
  // Takes the text to send out of `commands`.
  void SendAll(TJSON& commands, int index);
  // One text for all recipients, held once.
  static void Deliver(const std::vector<std::shared_ptr<TWebSocketA>>& recipients, std::string rawdata);

  // Set when another process of the same name was global first and this one
  // handed its connection over: what it still says reaches nobody.
  std::atomic<bool> retired_{false};
  std::atomic<TAppStarts::Id> startId_{0};
  std::atomic<bool> askedGlobal_{false};  // "setglobal" came (the output reader)
};

}  // namespace vexa

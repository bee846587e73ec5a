#include "server/bridge/vexa_requester.hpp"

#include <functional>

#include <unistd.h>

#include <exception>
#include <stdexcept>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "platform/process.hpp"
#include "server/bridge/gs_app.hpp"
#include "server/bridge/web_socket_a.hpp"
#include "server/bridge/ws_app.hpp"
#include "server/http/shared_routines.hpp"
#include "server/websocket/websocket_handler.hpp"

namespace vexa {

namespace {

// A field of a command, by its path on the command's element.
const JsonValue& Field(const TJSON& commands, int index, const std::string& path) {
  const JsonValue* value = commands.GetItemPath(index, path);
  if (value == nullptr) throw std::runtime_error("JSON Key not found.");
  return *value;
}

std::string TextField(const TJSON& commands, int index, const std::string& path) {
  return JSONToVariant(&Field(commands, index, path)).ToString();
}

// A text field taken out of the commands (moved when it is a JSON string).
std::string TakeTextField(TJSON& commands, int index, const std::string& path) {
  auto* value = const_cast<JsonValue*>(commands.GetItemPath(index, path));
  if (value != nullptr && value->is_string()) return std::move(value->get_ref<std::string&>());
  return TextField(commands, index, path);
}

int32_t IntegerField(const TJSON& commands, int index, const std::string& path) {
  const JsonValue& value = Field(commands, index, path);
  if (!value.is_number() && !value.is_string()) throw std::runtime_error("JSON Key not found.");
  return JSONToVariant(&value).ToInt32();
}

// Whether `exe` names a program that can be started: a path to an
// executable file, or a name found on PATH.
bool CanRun(const std::string& exe) {
  if (exe.empty()) return false;
  if (exe.find('/') != std::string::npos) return ::access(exe.c_str(), X_OK) == 0;
  return !platform::FindOnPath(exe).empty();
}

}  // namespace

TVexaRequester::TVexaRequester(const std::string& name, TSApp* owner, bool isWs)
    : TVexaAppMiddle(name, owner, isWs), App(owner), Name(name) {
  OnData = [this](const TJSON& envelope, std::string& text, bool isJson, bool isItem) {
    OnAppData(envelope, text, isJson, isItem);
  };
  OnError = [this](const std::string& line) { OnAppError(line); };
  OnExit = [this](const std::string&) { OnAppExit(); };
  OnServerCommand = [this](JsonValue& item) { OnServerCmd(item); };
  // The first reply tells whether this application's processes make
  // themselves global: later windows of its name wait for starts or not.
  OnFirstReply = [this] {
    SettleStart(askedGlobal_ ? TAppStarts::TKind::Global : TAppStarts::TKind::PerConnection);
  };
}

TVexaRequester::~TVexaRequester() {
  Shutdown();
  SettleStart();  // a process that never replied, or never started
}

void TVexaRequester::SettleStart(TAppStarts::TKind kind) {
  if (const TAppStarts::Id id = startId_.exchange(0)) AppStarts().Settle(Name, id, kind);
}

void TVexaRequester::OnAppData(const TJSON& envelope, std::string& text, bool isJson, bool isItem) {
  (void)envelope;  // headers and cookies mean nothing on this road
  if (retired_) return;
  try {
    std::shared_ptr<TWebSocketA> target;
    {
      std::lock_guard<std::mutex> lock(WsRegistryMutex());
      if (App) target = App->WebSocket;
    }
    if (!target) return;
    // Moved, not copied; an item's "," follows it in the same frame.
    target->SendData(TWsText(std::move(text)), isJson && isItem ? "," : "");
  } catch (const std::exception& e) {
    PrintError("WSRQ:- Error Data Vexa RX " + ConsoleQuote(e.what()));
  }
}

void TVexaRequester::OnAppError(const std::string& line) { WriteLine("Vexa Error:- " + ConsoleQuote(line)); }

void TVexaRequester::OnAppExit() {
  SettleStart();
  // The owner's share of this requester is released after the lock; it may
  // be the last one, which destroys this object: nothing of it is used after.
  ReleasedRefs released;
  std::lock_guard<std::mutex> lock(WsRegistryMutex());
  if (App) App->VexaClose(Name, released);
}

void TVexaRequester::OnServerCmd(JsonValue& item) {
  if (retired_) return;
  try {
    TJSON doc = TJSON::CreateFromData(std::move(item));
    JsonValue* fun = doc.Find("response.ipc.fun");
    if (fun == nullptr) throw std::runtime_error("JSON Key not found.");
    // A list runs each of its commands in order; a single object is the one command.
    TJSON commands = TJSON::CreateFromData(std::move(*fun));
    for (int i = 0; i < commands.ArrayCount(); ++i) {
      const std::string aname = TextField(commands, i, "aname");
      if (aname == "createprocess") {
        CreateProcess(commands, i);
      } else if (aname == "sendall") {
        SendAll(commands, i);
      } else if (aname == "setglobalm") {
        SetGlobalManager(IntegerField(commands, i, "data.conid"));
      } else if (aname == "setglobal") {
        SetGlobal();
      } else if (aname == "setproxy") {
        // accepted, does nothing
      }
    }
  } catch (const std::exception& e) {
    PrintError("WSRQ:- Error OrvantPHP App " + ConsoleQuote(AppName) + " invalid command " + ConsoleQuote(e.what()));
  }
}

void TVexaRequester::CreateProcess(const TJSON& commands, int index) {
  if (ChildRunning()) return;  // one child at a time, silently
  try {
    const std::string exe = TextField(commands, index, "data.exepath");
    const std::string childId = TextField(commands, index, "data.childid");
    const JsonValue& param = Field(commands, index, "data.param");
    std::vector<std::string> args;
    if (param.is_array()) {
      for (const auto& element : param) args.push_back(JSONToVariant(&element).ToString());
    } else {
      throw std::runtime_error("\"data.param\" is not a list");
    }
    // A program that cannot start would leave no trace but a console line;
    // refusing it here keeps "onprocesscreate" for a child that really runs.
    if (!CanRun(exe)) throw std::runtime_error("cannot run " + exe);
    if (StartChild(childId, exe, args)) SendCtrlEvent("onprocesscreate", childId, nullptr);
  } catch (const std::exception& e) {
    PrintError("Error in " + ProjPath + " Project Vexa App Middle in binding process " + ConsoleQuote(e.what()));
  }
}

void TVexaRequester::SendAll(TJSON& commands, int index) {
  const int32_t sendtype = IntegerField(commands, index, "data.sendtype");
  const std::string groupctrl = TextField(commands, index, "data.groupctrl");
  const std::string datatype = TextField(commands, index, "data.datatype");
  const int32_t conid = IntegerField(commands, index, "data.conid");
  std::string rawdata = TakeTextField(commands, index, "data.rawdata");
  switch (sendtype) {
    case 1: SendToGroup(groupctrl, datatype, std::move(rawdata), conid); break;
    case 2: SendToAllOthers(groupctrl, datatype, std::move(rawdata), conid); break;
    case 3: SendToConnection(groupctrl, datatype, std::move(rawdata), conid); break;
    default: SendToSubscribers(groupctrl, datatype, std::move(rawdata), conid); break;
  }
}

void TVexaRequester::Deliver(const std::vector<std::shared_ptr<TWebSocketA>>& recipients, std::string rawdata) {
  // Each send only queues: a recipient that does not read holds up nobody.
  // One text for all of them, made valid UTF-8 once and charged once.
  const TWsText shared(std::move(rawdata));
  for (const auto& ws : recipients)
    if (ws) ws->SendData(shared);
}

void TVexaRequester::SendToGroup(const std::string& groupctrl, const std::string&, std::string rawdata,
                                 int32_t conid) {
  std::vector<std::shared_ptr<TWebSocketA>> recipients;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    if (auto gs = FindGlobalLocked(groupctrl)) {
      const std::string skip = std::to_string(conid);
      for (const auto& [key, ws] : gs->Conns)
        if (key != skip) recipients.push_back(ws);
    }
  }
  Deliver(recipients, std::move(rawdata));
}

// The send handles of every connection but `conid` that `wanted` accepts,
// collected under the registry mutex and used after it is released.
static std::vector<std::shared_ptr<TWebSocketA>> ConnectionsExcept(int32_t conid,
                                                                   const std::function<bool(const TWsApp&)>& wanted) {
  std::vector<std::shared_ptr<TWebSocketA>> recipients;
  std::lock_guard<std::mutex> lock(WsRegistryMutex());
  if (WsApps == nullptr) return recipients;
  const std::string skip = std::to_string(conid);
  for (const auto& [key, value] : *WsApps) {
    auto* app = value.IsObject ? dynamic_cast<TWsApp*>(value.Obj) : nullptr;
    if (app != nullptr && key != skip && wanted(*app)) recipients.push_back(app->WebSocket);
  }
  return recipients;
}

void TVexaRequester::SendToAllOthers(const std::string&, const std::string&, std::string rawdata,
                                     int32_t conid) {
  Deliver(ConnectionsExcept(conid, [](const TWsApp&) { return true; }), std::move(rawdata));
}

void TVexaRequester::SendToConnection(const std::string&, const std::string&, std::string rawdata,
                                      int32_t conid) {
  std::vector<std::shared_ptr<TWebSocketA>> recipients;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    const std::string key = std::to_string(conid);
    if (WsApps != nullptr && WsApps->ContainsKey(key)) {
      if (auto* app = dynamic_cast<TWsApp*>(WsApps->GetObject(key))) recipients.push_back(app->WebSocket);
    }
  }
  Deliver(recipients, std::move(rawdata));
}

void TVexaRequester::SendToSubscribers(const std::string& groupctrl, const std::string&, std::string rawdata,
                                       int32_t conid) {
  auto recipients = ConnectionsExcept(conid, [&](const TWsApp& app) {
    return app.Apps.count(groupctrl) != 0 || app.Globals.count(groupctrl) != 0;
  });
  Deliver(recipients, std::move(rawdata));
}

void TVexaRequester::SetGlobal() {
  // Learned at once, also when it comes after the first reply: later
  // windows of this name wait for the starts under way.
  askedGlobal_ = true;
  AppStarts().Settle(Name, 0, TAppStarts::TKind::Global);
  ReleasedRefs released;                  // a replaced older entry; dropped after the lock
  std::shared_ptr<TGsApp> existing;       // dropped after the lock
  std::shared_ptr<TVexaRequester> first;  // the global application this connection joins instead
  bool wasMember = false;
  // Whether the global application registered under the name still runs is
  // asked outside the registry mutex (the question takes the bridge's own
  // mutex); when another one was registered meanwhile, it is asked again.
  std::shared_ptr<TGsApp> checked;
  bool checkedRuns = false;
  for (;;) {
    std::shared_ptr<TVexaRequester> toCheck;
    {
      std::lock_guard<std::mutex> lock(WsRegistryMutex());
      if (IsGlobal) {
        WriteLine("Global App " + ConsoleQuote(AppName) + " Already Exist");
        return;
      }
      auto* owner = dynamic_cast<TWsApp*>(App);
      if (owner == nullptr || owner->Closing || GsApps == nullptr)
        throw std::runtime_error("Key \"" + AppName + "\" not found");
      auto it = owner->Apps.find(AppName);
      if (it == owner->Apps.end() || it->second.get() != this)
        throw std::runtime_error("Key \"" + AppName + "\" not found");
      existing = FindGlobalLocked(AppName);
      if (existing != checked) {
        checked = existing;
        toCheck = existing ? existing->Requester : nullptr;
      } else {
        IsGlobal = true;
        if (existing && !existing->Closing && checkedRuns) {
          // Windows that open together and outwait the start's bound start
          // one process each; the first to become global wins. This
          // connection joins it with its first message (unless it has
          // closed meanwhile), and this process is retired.
          retired_ = true;
          const std::string key = std::to_string(owner->ConId);
          wasMember = existing->Conns.count(key) != 0;
          if (owner->WebSocket && !owner->WebSocket->Closed()) {
            existing->Conns[key] = owner->WebSocket;
            owner->Globals[AppName] = existing;
            first = existing->Requester;
          }
        } else {
          auto global = std::make_shared<TGsApp>(AppName, it->second);
          global->Conns[std::to_string(owner->ConId)] = owner->WebSocket;
          global->WebSocket = owner->WebSocket;
          owner->CreateGlobal(AppName);  // the connection lets go without freeing
          App = global.get();
          if (GsApps->ContainsKey(AppName)) {
            Any old = GsApps->Extract(AppName);
            if (old.IsObject) released.push_back(std::shared_ptr<TVexaBase>(old.Obj));
          }
          GsApps->SetObject(AppName, new TGsAppEntry(std::move(global)));
        }
        break;
      }
    }
    checkedRuns = toCheck && toCheck->AppRunning();
  }
  if (!retired_) {
    WriteLine("Global App " + ConsoleQuote(AppName) + " Started");
    return;
  }
  WriteLine("Global App " + ConsoleQuote(AppName) + " Already Exist");
  if (first && !StartMessage.empty()) {
    // The start message reaches the global application as the join; a
    // connection that had joined already gets no second "wconn".
    JsonValue message = ParseJsonText(StartMessage);
    if (wasMember && message.contains("bdata") && message["bdata"].is_object()) message["bdata"].erase("wconn");
    first->SendToApp(StrToHex(WriteJSON(message)), false);
  }
  Retire();
}

void TVexaRequester::Retire() {
  // The process may be in the middle of handling its first message (a store
  // write, say): it ends the usual way, and only one that outlives the grace
  // is stopped. Its run then ends as usual, and the exit takes this
  // requester out of its connection. This waits on the process's own output
  // reader, whose further output is dropped anyway.
  SendEvent("quit", "quit", nullptr);
  if (!WaitForAppEnd(kRetireGrace)) StopApp();
}

void TVexaRequester::SetGlobalManager(int32_t conid) {
  IsGlobal = true;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    auto global = FindGlobalLocked(AppName);
    if (!global) throw std::runtime_error("Key \"" + AppName + "\" not found");
    const std::string key = std::to_string(conid);
    if (WsApps == nullptr || !WsApps->ContainsKey(key)) throw std::runtime_error("Key \"" + key + "\" not found");
    auto* app = dynamic_cast<TWsApp*>(WsApps->GetObject(key));
    if (app == nullptr) throw std::runtime_error("Key \"" + key + "\" not found");
    global->WebSocket = app->WebSocket;
    // `global` is not the last reference: GsApps still holds the entry.
  }
  WriteLine("Global App " + ConsoleQuote(AppName) + " Manager Changed conid:- " + std::to_string(conid));
}

}  // namespace vexa

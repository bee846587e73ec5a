#include "server/bridge/ws_request_handler.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "server/bridge/app_starts.hpp"
#include "server/bridge/gs_app.hpp"
#include "core/process_slots.hpp"
#include "server/bridge/vexa_requester.hpp"
#include "server/bridge/web_socket_a.hpp"
#include "server/bridge/ws_app.hpp"
#include "server/http/connection.hpp"
#include "server/http/request_info.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa {

namespace {

// A control character (NUL above all) cannot travel in a process argument as
// it stands: NUL would cut the name short, so names that differ only after
// it would each start another process of the same application.
bool HasControlByte(const std::string& text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

// A member of the message as text; a missing member raises "JSON Key not found.".
std::string TextMember(const TJSON& message, const std::string& name) {
  return message.GetValue(name).ToString();
}

// The connection's application set; the caller is the connection's own
// thread, the only one that removes it, so the pointer stays valid.
TWsApp* FindConnection(int32_t conId) {
  std::lock_guard<std::mutex> lock(WsRegistryMutex());
  if (WsApps == nullptr) throw std::runtime_error("no connection registry");
  auto* app = dynamic_cast<TWsApp*>(WsApps->GetObject(std::to_string(conId)));
  if (app == nullptr) throw std::runtime_error("Key \"" + std::to_string(conId) + "\" not found");
  return app;
}

// The connection's send handle, read under the registry mutex.
std::shared_ptr<TWebSocketA> SendHandleOf(const TWsApp& wsApp) {
  std::lock_guard<std::mutex> lock(WsRegistryMutex());
  return wsApp.WebSocket;
}

// Refuses a start whose entry `name` would hold `size` bytes.
void CheckEnvEntry(const std::string& name, size_t size) {
  if (!FitsEnvEntry(name, size))
    throw std::runtime_error("the starting message is too large for the process environment (" + name + " holds " +
                             std::to_string(size) + " bytes, at most " + std::to_string(kMaxEnvEntry) + " fit)");
}

}  // namespace

TWsRequestHandler::~TWsRequestHandler() { ReleaseRegistries(); }

int32_t TWsRequestHandler::ConIdOf(const TConnection& context) {
  std::lock_guard<std::mutex> lock(conIdsMutex_);
  auto it = conIds_.find(&context);
  if (it == conIds_.end()) throw std::runtime_error("the connection has no id");
  return it->second;
}

TWsEvents TWsRequestHandler::Events() {
  TWsEvents events;
  events.OnWsConnect = [this](TWebSocketHandler& handler, TConnection& connection, HttpRequest& request,
                              bool secure) { WsConnect(handler, connection, request, secure); };
  events.OnWsMessage = [this](TConnection& connection, HttpRequest& request, std::string& text) {
    WsMessage(connection, request, text);
  };
  events.OnWsDisconnect = [this](TConnection& connection, HttpRequest& request) {
    WsDisconnect(connection, request);
  };
  return events;
}

void TWsRequestHandler::WsConnect(TWebSocketHandler& handler, TConnection& context, HttpRequest& requestInfo,
                                  bool secure) {
  bool identified = false;
  try {
    const int32_t conId = NextConId();
    // PHP learns the id from the request description: only the server's.
    RemoveConIdFields(requestInfo);
    requestInfo.insert(kConIdField, std::to_string(conId));
    handler.ConId = conId;
    auto webSocket = std::make_shared<TWebSocketA>(&handler, &context, &requestInfo, secure);
    auto wsApp = std::make_unique<TWsApp>(conId, std::move(webSocket));
    {
      // The id table is this handler's own: not under the registry locks.
      std::lock_guard<std::mutex> ids(conIdsMutex_);
      conIds_[&context] = conId;
      identified = true;
    }
    std::lock_guard<std::recursive_mutex> global(*GlobalLock);
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    WsApps->SetObject(std::to_string(conId), wsApp.release());
  } catch (const std::exception& e) {
    // A connection that could not be registered keeps no id: the table is
    // keyed by the connection's address, which a later connection may reuse.
    if (identified) {
      std::lock_guard<std::mutex> ids(conIdsMutex_);
      conIds_.erase(&context);
    }
    PrintError("WSR: Con Error:- " + ConsoleQuote(e.what()));
  }
}

void TWsRequestHandler::WsMessage(TConnection& context, HttpRequest& requestInfo, std::string& text) {
  try {
    RouteMessage(context, requestInfo, text);
  } catch (const std::exception& e) {
    PrintError("WSR: Msg Error:- " + ConsoleQuote(e.what()));
  }
}

namespace {

// The members a message that starts an application carries besides "ctrl"
// and "bdata".
bool HasStartMembers(const TJSON& message) {
  for (const char* name : {"token", "typeappobj", "evt", "evtp"})
    if (message.Find(name) == nullptr) return false;
  return true;
}

void PrintDropped(const std::string& why) {
  PrintError("WSR:- send Error " + ProjPath + " Project Vexa WS App Request " + why + ", message dropped");
}

}  // namespace

void TWsRequestHandler::RouteMessage(TConnection& context, HttpRequest& requestInfo, std::string& text) {
  try {
    const int32_t conId = ConIdOf(context);
    TJSON message = ParseTaking(text);
    TWsApp* wsApp = FindConnection(conId);
    const std::string ctrl = TextMember(message, "ctrl");
    if (HasControlByte(ctrl)) throw std::runtime_error("\"ctrl\" holds a control character");
    JsonValue bdata = TakeBrowserData(message);
    TTarget target = FindTarget(*wsApp, ctrl);
    if (!target.global && !target.own) {
      // A message without the members of a start, for an application this
      // connection had, means that the application has ended.
      if (!HasStartMembers(message)) {
        if (!wsApp->HadApp(ctrl)) throw std::runtime_error("JSON Key not found.");
        PrintDropped("the application " + ConsoleQuote(ctrl) + " has ended");
        return;
      }
      // Windows that open together: a start of this application under way
      // may make itself global in its first reply, and this message then
      // joins it rather than starting a process that would be retired.
      TAppStarts::Ticket ticket(AppStarts(), ctrl, AppStarts().Begin(ctrl));
      AppStarts().WaitForEarlier(ctrl, ticket.id());
      {
        std::lock_guard<std::mutex> lock(WsRegistryMutex());
        target.global = FindGlobalLocked(ctrl);
      }
      if (!target.global) {
        StartApp(context, requestInfo, *wsApp, ctrl, std::move(message), std::move(bdata), target.runningApps, ticket);
        return;
      }
    }
    Deliver(context, *wsApp, ctrl, target.global, std::move(message), std::move(bdata));
  } catch (const std::exception& e) {
    PrintError("WSR:- send Error " + ProjPath + " Project Vexa WS App Request " + ConsoleQuote(e.what()));
  }
}

TJSON TWsRequestHandler::ParseTaking(std::string& text) {
  TJSON message;
  message.Parse(text);  // a broken text prints its error and leaves the document empty
  std::string().swap(text);  // the text is not held beside what it became
  return message;
}

JsonValue TWsRequestHandler::TakeBrowserData(TJSON& message) {
  // The browser's "bdata" must be an object; it gets the server's members.
  JsonValue* browserData = message.Find("bdata");
  if (browserData == nullptr) throw std::runtime_error("JSON Key not found.");
  if (!browserData->is_object()) throw std::runtime_error("\"bdata\" is not a JSON object");
  // Moved out, not copied; it goes back in before the message travels on.
  return std::move(*browserData);
}

TWsRequestHandler::TTarget TWsRequestHandler::FindTarget(TWsApp& wsApp, const std::string& ctrl) {
  TTarget target;
  std::lock_guard<std::mutex> lock(WsRegistryMutex());
  target.global = FindGlobalLocked(ctrl);
  target.own = wsApp.Apps.count(ctrl) > 0;
  target.runningApps = wsApp.Apps.size();
  return target;
}

void TWsRequestHandler::StartApp(TConnection& context, HttpRequest& requestInfo, TWsApp& wsApp,
                                 const std::string& ctrl, TJSON message, JsonValue bdata, size_t runningApps,
                                 TAppStarts::Ticket& ticket) {
  // Only this connection's thread adds to its applications, so the count
  // cannot grow between the test and the start.
  const size_t maxApps = TProcessSlots::Instance().Limits().MaxAppsPerConnection;
  if (runningApps >= maxApps)
    throw std::runtime_error("the connection runs " + std::to_string(maxApps) + " applications, as many as it may");
  TJSON cookies;
  cookies.Add("mtoken", TextMember(message, "token"));
  cookies.Add("typeappobj", TextMember(message, "typeappobj"));
  const std::string evt = TextMember(message, "evt");
  const std::string evtp = TextMember(message, "evtp");
  // The message travels to the new process inside its start data.
  wsApp.RemoteAddr = context.PeerAddress();
  bdata["wconn"] = "n";
  bdata["wcon"] = wsApp.WconObject();
  message.Current()["bdata"] = std::move(bdata);

  const std::shared_ptr<TWebSocketA> webSocket = SendHandleOf(wsApp);
  const std::string idata = BuildServerInfo(requestInfo, context.PeerAddress(), webSocket && webSocket->Secure);
  const std::string bcookies = CookiesToJSON(requestInfo, &cookies);

  std::string startMessage = message.GetJSON();
  std::string startData;
  {
    TJSON start;
    start.AddJSON("postdata", std::move(message));
    if (Args != nullptr) {
      start.AddAssoArray("sargv", *Args);
    } else {
      start.Current()["sargv"] = JsonValue::object();
    }
    startData = start.GetJSON();
  }
  RunPhpApp(wsApp, ctrl, evt, evtp, idata, std::move(startData), bcookies, std::move(startMessage),
            ticket.Release());
}

void TWsRequestHandler::Deliver(TConnection& context, TWsApp& wsApp, const std::string& ctrl,
                                const std::shared_ptr<TGsApp>& global, TJSON message, JsonValue bdata) {
  const std::string conKey = std::to_string(wsApp.ConId);
  std::shared_ptr<TVexaRequester> target;
  bool joins = false;
  if (global) {
    // A global application wins over an application of this connection.
    {
      std::lock_guard<std::mutex> lock(WsRegistryMutex());
      joins = global->Conns.count(conKey) == 0;
      target = global->Requester;
    }
    if (joins) {
      wsApp.RemoteAddr = context.PeerAddress();
      wsApp.NoteApp(ctrl);
      std::lock_guard<std::recursive_mutex> globalLock(*GlobalLock);
      std::lock_guard<std::mutex> lock(WsRegistryMutex());
      global->Conns[conKey] = wsApp.WebSocket;
      wsApp.Globals[ctrl] = global;
    }
  } else {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    auto it = wsApp.Apps.find(ctrl);
    if (it != wsApp.Apps.end()) target = it->second;
  }
  // The application may have ended since it was looked up.
  if (!target) {
    PrintDropped("the application " + ConsoleQuote(ctrl) + " has ended");
    return;
  }
  // "wconn" says a connection joins: only the server says that.
  if (joins)
    bdata["wconn"] = "n";
  else
    bdata.erase("wconn");
  bdata["wcon"] = wsApp.WconObject();
  message.Current()["bdata"] = std::move(bdata);
  // Each form is freed once the next is made: the document once written,
  // the text once hex-coded into the input line.
  std::string json = message.GetJSON();
  message = TJSON();
  // The message waits for room in the application's input queue, pausing
  // this connection's reads and nothing else; the wait ends when the client
  // leaves or the server shuts the connection.
  const std::shared_ptr<TWebSocketA> webSocket = SendHandleOf(wsApp);
  const auto gone = [&] { return context.IsShutdown() || context.PeerHungUp() || !webSocket || webSocket->Closed(); };
  if (target->SendToAppWaiting(std::move(json), gone)) return;
  PrintDropped(gone() ? "the client of the application " + ConsoleQuote(ctrl) + " left"
                      : "the application " + ConsoleQuote(ctrl) + " has ended");
}

void TWsRequestHandler::RunPhpApp(TWsApp& wsApp, const std::string& ctrl, const std::string& evt,
                                  const std::string& evtp, const std::string& idata, std::string startData,
                                  const std::string& bcookies, std::string startMessage,
                                  TAppStarts::Id startId) {
  // The start is settled here unless a process takes it over.
  TAppStarts::Ticket ticket(AppStarts(), ctrl, startId);
  try {
    // Linux caps one environment entry at 128 KiB: a start that cannot fit
    // is refused here, before anything is registered or started.
    CheckEnvEntry("idata", idata.size());
    // The start data is hex-coded (two digits a byte) only once it fits.
    CheckEnvEntry("cdata", 2 * startData.size());
    CheckEnvEntry("bcookies", bcookies.size());
    const std::string cdata = StrToHex(startData);
    std::string().swap(startData);
    const std::vector<std::string> params = TVexaAppMiddle::AppParams(ctrl, evt, evtp);
    const std::vector<std::string> env = {"idata=" + idata, "cdata=" + cdata, "bcookies=" + bcookies};
    const std::string exe = TVexaAppMiddle::PhpExe();
    TProcessSlot slot = TProcessSlots::Instance().TryTake(TProcessKind::Application);
    if (!slot) throw std::runtime_error(TProcessSlots::Instance().BusyText(TProcessKind::Application));
    auto requester = std::make_shared<TVexaRequester>(ctrl, &wsApp, true);
    requester->StartMessage = std::move(startMessage);
    requester->HoldStart(ticket.Release());
    {
      // Registered before the process starts, so its first reply and its end find it.
      std::lock_guard<std::recursive_mutex> global(*GlobalLock);
      std::lock_guard<std::mutex> lock(WsRegistryMutex());
      wsApp.Apps[ctrl] = requester;
    }
    wsApp.NoteApp(ctrl);
    requester->StartApp(exe, params, env, std::move(slot));
  } catch (const std::exception& e) {
    PrintError("WSR:- init Error " + ProjPath + " Project Vexa App Request " + ConsoleQuote(e.what()));
  }
}

void TWsRequestHandler::WsDisconnect(TConnection& context, HttpRequest& requestInfo) {
  (void)requestInfo;
  int32_t conId = 0;
  TWsApp* wsApp = nullptr;
  try {
    {
      // The connection's id ends with it.
      std::lock_guard<std::mutex> lock(conIdsMutex_);
      auto it = conIds_.find(&context);
      if (it == conIds_.end()) throw std::runtime_error("the connection has no id");
      conId = it->second;
      conIds_.erase(it);
    }
    wsApp = FindConnection(conId);
    wsApp->CloseConnection();
  } catch (const std::exception& e) {
    PrintError("WSR: Dis Error:- " + ConsoleQuote(e.what()));
    // A connection that is registered is still removed below: otherwise
    // its processes would outlive it.
    if (wsApp == nullptr) return;
  }
  try {
    std::this_thread::sleep_for(std::chrono::milliseconds(DisconnectPauseMs));
    std::unique_ptr<TVexaBase> removed;
    {
      std::lock_guard<std::recursive_mutex> global(*GlobalLock);
      std::lock_guard<std::mutex> lock(WsRegistryMutex());
      Any entry = WsApps->Extract(std::to_string(conId));
      if (entry.IsObject) removed.reset(entry.Obj);
    }
    // Freed outside both locks: stopping its remaining applications waits
    // for their callbacks under way, and one of those may be stuck sending
    // to a client that does not read.
    removed.reset();
  } catch (const std::exception& e) {
    PrintError("WSR: Dis Error:- " + ConsoleQuote(e.what()));
  }
}

void TWsRequestHandler::ReleaseRegistries() {
  if (GlobalLock == nullptr) return;
  std::vector<std::unique_ptr<TVexaBase>> connections, globals;
  std::lock_guard<std::recursive_mutex> global(*GlobalLock);
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    for (TAssoArray* registry : {WsApps, GsApps}) {
      if (registry == nullptr) continue;
      std::vector<std::string> keys;
      for (const auto& [key, value] : *registry) keys.push_back(key);
      for (const auto& key : keys) {
        Any entry = registry->Extract(key);
        if (entry.IsObject) (registry == WsApps ? connections : globals).emplace_back(entry.Obj);
      }
    }
    for (auto& entry : connections)
      if (auto* app = dynamic_cast<TWsApp*>(entry.get()))
        if (app->WebSocket) app->WebSocket->MarkClosed();
  }
  connections.clear();
  globals.clear();
}

}  // namespace vexa

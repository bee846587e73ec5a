#pragma once
// TWsRequestHandler: the WebSocket application layer. Bound to the
// listener's WebSocket events:
//  - WsConnect gives a new connection the next id (1, 2, 3, ...), replaces
//    any "HTWS_VEXA" field of its upgrade request by one with that id (for
//    PHP) and registers the connection's send handle and application set in
//    WsApps; the routing takes a connection's id from its own table, by
//    connection, never from a request field;
//  - WsMessage routes one browser message ({ "ctrl", "bdata", "token",
//    "typeappobj", "evt", "evtp", ... }) to the connection's application of
//    that ctrl, or to the global application of that name, starting a PHP
//    process for the first message of a ctrl (a ctrl holding a control
//    character is refused: it cannot be a process argument as it stands; so
//    is a start past the connection's or the server's process bound, see
//    TProcessLimits); a "wconn" member of the browser's "bdata" is dropped,
//    "wconn" and "wcon" are the server's. A first message waits for the
//    starts of that ctrl already under way (see TAppStarts) and joins the
//    global application one of them made; a message for an application whose
//    input queue is full waits on the connection's thread until there is room
//    (whatever its size: it never stops the application); a message dropped
//    because its client left or its application ended gets a console line;
//  - WsDisconnect tells the connection's applications ("quit") and joined
//    global applications ("wsdiscon"), waits 200 ms and removes the
//    connection, stopping what is left of its processes.
// Nothing is ever sent to the browser by this layer itself: failures are
// console lines, and the connection stays open.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "core/json.hpp"
#include "server/bridge/app_starts.hpp"
#include "server/http/http_types.hpp"
#include "server/websocket/websocket_handler.hpp"

namespace vexa {

class TConnection;
class TWebSocketHandler;
class TGsApp;
class TWsApp;

class TWsRequestHandler {
 public:
  TWsRequestHandler() = default;
  // The listener's teardown: every connection has ended by now. What is left
  // in the registries (global applications above all) is released here, so
  // that no PHP process outlives the server's WebSocket side.
  ~TWsRequestHandler();
  TWsRequestHandler(const TWsRequestHandler&) = delete;
  TWsRequestHandler& operator=(const TWsRequestHandler&) = delete;

  void WsConnect(TWebSocketHandler& handler, TConnection& context, HttpRequest& requestInfo, bool secure);
  void WsDisconnect(TConnection& context, HttpRequest& requestInfo);
  // Takes the text: it is freed once parsed.
  void WsMessage(TConnection& context, HttpRequest& requestInfo, std::string& text);

  void RouteMessage(TConnection& context, HttpRequest& requestInfo, std::string& text);
  void RunPhpApp(TWsApp& wsApp, const std::string& ctrl, const std::string& evt, const std::string& evtp,
                 const std::string& idata, std::string startData, const std::string& bcookies,
                 std::string startMessage = {}, TAppStarts::Id startId = 0);

  // The three events, bound to this handler.
  TWsEvents Events();

  // The pause between telling a closed connection's applications and
  // removing it (200 ms); tests may shorten it.
  int DisconnectPauseMs = 200;

  // Releases everything still registered in WsApps and GsApps.
  static void ReleaseRegistries();

 private:
  // The steps of RouteMessage.
  struct TTarget {
    std::shared_ptr<TGsApp> global;  // the global application of the name, if any
    bool own = false;                // the connection runs an application of the name
    size_t runningApps = 0;          // applications the connection runs
  };
  static TJSON ParseTaking(std::string& text);
  static JsonValue TakeBrowserData(TJSON& message);
  static TTarget FindTarget(TWsApp& wsApp, const std::string& ctrl);
  // Starts the connection's own process of `ctrl` with the message.
  void StartApp(TConnection& context, HttpRequest& requestInfo, TWsApp& wsApp, const std::string& ctrl,
                TJSON message, JsonValue bdata, size_t runningApps, TAppStarts::Ticket& ticket);
  // Hands the message to the global application (joining it first) or to
  // the connection's own application; one console line when it is dropped.
  static void Deliver(TConnection& context, TWsApp& wsApp, const std::string& ctrl,
                      const std::shared_ptr<TGsApp>& global, TJSON message, JsonValue bdata);

  // The id WsConnect gave the connection; raises when it has none.
  int32_t ConIdOf(const TConnection& context);

  std::mutex conIdsMutex_;
  std::unordered_map<const TConnection*, int32_t> conIds_;  // open connections only
};

}  // namespace vexa

#pragma once
// TWebSocketA: the send handle of one WebSocket connection.
//
// Applications send to their browser through it from their own threads. The
// frame engine it points at lives only until the connection's close event has
// returned, so the handle stops using it at MarkClosed (called from that
// event): after that, sends do nothing and print nothing. The handle itself
// is shared (std::shared_ptr) by its connection and by every global
// application that holds it as a member or as its manager, so it stays valid
// for as long as any of them can reach it.

#include <chrono>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "server/http/http_types.hpp"

namespace vexa {

class TConnection;
class TWebSocketHandler;
class TWsText;

class TWebSocketA {
 public:
  // ConId is copied from the handler's ConId, which the connect event has set.
  TWebSocketA(TWebSocketHandler* handler, TConnection* context, HttpRequest* requestInfo, bool secure);
  TWebSocketA(const TWebSocketA&) = delete;
  TWebSocketA& operator=(const TWebSocketA&) = delete;

  // From now on nothing is sent and the frame engine is never touched again.
  void MarkClosed();
  bool Closed() const;
  // One unfragmented, uncompressed text frame of `text` and `suffix` (at
  // most 4 bytes), queued for the connection: never waits for the client
  // (see TWebSocketHandler::SendQueued), never raises. Several connections
  // may share one text. Any thread.
  void SendData(const TWsText& text, std::string_view suffix = {});
  void SendData(std::string text);
  // Ends the connection from another thread (server shutdown); the
  // connection's own thread then runs its close event as usual. In two
  // steps, so that many connections share one wait (see
  // TWebSocketHandler::BeginDisconnect), or both at once.
  void BeginDisconnect();
  void EndDisconnect(std::chrono::steady_clock::time_point deadline);
  void Disconnect();

  TConnection* const Context;      // not owned
  HttpRequest* const RequestInfo;  // not owned; the engine's copy of the upgrade request
  const bool Secure;
  const int32_t ConId;

 private:
  // Sends and Disconnect hold it shared across their use of the engine (the
  // engine orders the frames itself; a send only queues, and a disconnect
  // takes about a second at most); MarkClosed holds it exclusively, so it
  // never returns while anything still uses the engine. The engine's own
  // writer thread is joined before its close event runs.
  mutable std::shared_mutex mutex_;
  TWebSocketHandler* Handler;  // not owned; null once closed
  bool closed_ = false;
};

}  // namespace vexa

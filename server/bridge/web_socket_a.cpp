#include "server/bridge/web_socket_a.hpp"

#include <exception>

#include "core/globals.hpp"
#include "server/http/shared_routines.hpp"
#include "server/websocket/websocket_handler.hpp"

namespace vexa {

TWebSocketA::TWebSocketA(TWebSocketHandler* handler, TConnection* context, HttpRequest* requestInfo,
                         bool secure)
    : Context(context),
      RequestInfo(requestInfo),
      Secure(secure),
      ConId(handler ? handler->ConId.load() : 0),
      Handler(handler) {}

void TWebSocketA::MarkClosed() {
  std::unique_lock<std::shared_mutex> lock(mutex_);
  closed_ = true;
  Handler = nullptr;
}

bool TWebSocketA::Closed() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return closed_;
}

void TWebSocketA::SendData(const TWsText& text, std::string_view suffix) {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (closed_ || Handler == nullptr) return;
  try {
    Handler->SendQueued(text, suffix);
  } catch (const std::exception& e) {
    PrintError("WSHLP:- Error Data Send WS " + ConsoleQuote(e.what()));
  }
}

void TWebSocketA::SendData(std::string text) {
  try {
    SendData(TWsText(std::move(text)));
  } catch (const std::exception& e) {
    PrintError("WSHLP:- Error Data Send WS " + ConsoleQuote(e.what()));
  }
}

void TWebSocketA::BeginDisconnect() {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (closed_ || Handler == nullptr) return;
  try {
    Handler->BeginDisconnect();
  } catch (const std::exception& e) {
    PrintError("WSHLP:- Error Data Send WS " + ConsoleQuote(e.what()));
  }
}

void TWebSocketA::EndDisconnect(std::chrono::steady_clock::time_point deadline) {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (closed_ || Handler == nullptr) return;
  Handler->EndDisconnect(deadline);
}

void TWebSocketA::Disconnect() {
  BeginDisconnect();
  EndDisconnect(std::chrono::steady_clock::now() + TWebSocketHandler::DisconnectWait);
}

}  // namespace vexa

#pragma once
// TVexaRequestHandler: one application page, answered by one run of PHP.
//
// The page name ("/blog-view-1-2") gives the routing words ctrl, evt and evtp;
// the request description, the cookies and the start document go to PHP in
// its environment; what PHP writes comes back through the bridge's callbacks
// and is streamed to the client as a chunked reply.
//
// The callbacks run on the PHP runner's threads (output and error, exit)
// while the connection's thread waits in StartPhp. One lock serialises them:
// the header is decided and written once, and every chunk goes out whole.
// While PHP runs, the connection's thread looks at the client's connection
// every 100 ms: a client that has closed it (or a write that fails) stops the
// page's PHP process, with one console line ("Page /p stopped: its client
// left"); the page's further output is dropped.

#include <cstdint>
#include <mutex>
#include <string>
#include <system_error>

#include "core/process_slots.hpp"
#include "server/http/http_types.hpp"

namespace vexa {

class TConnection;
class TJSON;
class TVexaAppMiddle;

// The routing words of a page name.
struct PageRoute {
  std::string Ctrl;
  std::string Evt;
  std::string Evtp;
};

// The application road of the request road: the form object of a POST, the
// post document, the page name (every ".html", then every ".app" removed)
// and one TVexaRequestHandler run. Raises nothing: an error is printed as
// "Request Handler Error:- " + message + " Path " + page.
void ServeApplicationPage(const std::string& path, TConnection& connection, const HttpRequest& request,
                          HttpReply& reply, bool secure, TProcessSlots& slots = TProcessSlots::Instance());

class TVexaRequestHandler {
 public:
  // `slots`: the counter the page's process takes its slot from.
  explicit TVexaRequestHandler(TProcessSlots& slots = TProcessSlots::Instance()) : slots_(slots) {}
  TVexaRequestHandler(const TVexaRequestHandler&) = delete;
  TVexaRequestHandler& operator=(const TVexaRequestHandler&) = delete;

  // Runs the page and writes the whole reply. page: the request path without
  // ".html"/".app"; postDoc holds "postdata" and gets "sargv" added here.
  // When the request cannot be handed to PHP (its data does not fit into the
  // process environment, or PHP could not be started) the reply is left
  // unstarted with an error status and text in reply.response, for the
  // connection loop to send. Raises on errors of its own steps.
  void Run(const std::string& page, TJSON& postDoc, TConnection& connection, const HttpRequest& request,
           HttpReply& reply, bool secure);

  // Sets the connection, request and reply that the callbacks write to, with
  // the header pending (Run starts with it).
  void Attach(TConnection& connection, const HttpRequest& request, HttpReply& reply);

  // Starts PHP for the page and returns when it has ended.
  void StartPhp(const std::string& ctrl, const std::string& evt, const std::string& evtp,
                const std::string& idata, const std::string& cdata, const std::string& bcookies);

  // The bridge's callbacks.
  void OnAppData(const TJSON& envelope, const std::string& text, bool isJson, bool isItem);
  void OnAppError(const std::string& line);
  void OnAppExit(const std::string& text);

  // Whether the request's X-Requested-With header contains value.
  bool IsRequestedWith(const std::string& value) const;

  // "/blog-view-1-2" -> blog, view, 12; "/a/b-c" -> a/b, c.
  static PageRoute SplitPage(const std::string& page);
  // One Set-Cookie value from the six elements of an envelope cookie.
  // expiryDays counts days from 30 December 1899; 0 makes a session cookie
  // (no Expires attribute).
  static std::string SetCookieValue(const std::string& name, const std::string& value, int32_t expiryDays,
                                    const std::string& path, const std::string& domain, bool secure,
                                    bool httpOnly);
  // The HTTP date of a day count from 30 December 1899 (midnight UTC).
  static std::string HttpDateOfDays(int64_t days);

 private:
  void WriteHeaderLocked();              // StartChunked once
  void ApplyEnvelopeLocked(const TJSON& envelope);
  std::string PlainContentTypeLocked();  // the content-type choice for plain output
  // A write to the client failed: the one console line; the running bridge to stop.
  TVexaAppMiddle* ClientGoneLocked(const std::system_error& e);
  // Whether the page must stop: its client has closed the connection (the
  // one console line, said once) or the server shuts it.
  bool ClientLeft();

  TConnection* Context = nullptr;
  const HttpRequest* RequestInfo = nullptr;
  HttpReply* ResponseInfo = nullptr;
  bool HeadersPending = true;
  bool IsAjax = false;
  bool ClientGone = false;
  TVexaAppMiddle* App = nullptr;  // the bridge while StartPhp runs it
  std::string PagePath;           // the request's path, for console lines
  TProcessSlots& slots_;
  std::mutex lock_;
};

}  // namespace vexa

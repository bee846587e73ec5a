#include "server/http/vexa_request_handler.hpp"

#include <chrono>
#include <ctime>
#include <mutex>
#include <memory>
#include <vector>
#include <exception>
#include <stdexcept>
#include <system_error>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "server/http/chunked_writer.hpp"
#include "server/http/connection.hpp"
#include "server/http/form_data.hpp"
#include "server/http/request_handler.hpp"
#include "server/http/request_info.hpp"
#include "server/http/shared_routines.hpp"
#include "core/process_slots.hpp"
#include "server/bridge/vexa_app_middle.hpp"

namespace vexa {

namespace {

const char kPlainHtml[] = "text/html;charset=UTF-8";
const char kPlainText[] = "text/plain;charset=UTF-8";

// Header names and values from PHP must not be able to start a header line
// of their own.
bool IsHeaderSafe(std::string_view s) {
  for (char c : s) {
    if (c == '\r' || c == '\n' || c == '\0') return false;
  }
  return true;
}

// A reply the page road writes itself: a plain text line.
void SetPlainReply(HttpResponse& res, http::status status, const std::string& text) {
  res.result(status);
  res.set(http::field::content_type, kPlainText);
  res.body() = text + "\r\n";
  res.prepare_payload();
}

std::string ElementText(const JsonValue& array, std::size_t index) {
  return JSONToVariant(&array.at(index)).ToString();
}

}  // namespace

namespace {

void RemoveAll(std::string& text, const std::string& what) {
  for (std::size_t at; (at = text.find(what)) != std::string::npos;) text.erase(at, what.size());
}

}  // namespace

void ServeApplicationPage(const std::string& path, TConnection& connection, const HttpRequest& request,
                          HttpReply& reply, bool secure, TProcessSlots& slots) {
  std::string page = path;
  try {
    TJSON form;
    if (request.method() == http::verb::post) ParseFormData(request, request.body(), form);
    TJSON postDoc;
    postDoc.AddJSON("postdata", form);
    RemoveAll(page, ".html");
    RemoveAll(page, ".app");
    TVexaRequestHandler handler(slots);
    handler.Run(page, postDoc, connection, request, reply, secure);
  } catch (const std::exception& e) {
    PrintError("Request Handler Error:- " + std::string(e.what()) + " Path " + ConsoleQuote(page));
  }
}

PageRoute TVexaRequestHandler::SplitPage(const std::string& page) {
  PageRoute route;
  std::size_t start = 0;
  int index = 0;
  while (true) {
    std::size_t dash = page.find('-', start);
    std::string part = page.substr(start, dash == std::string::npos ? std::string::npos : dash - start);
    if (index == 0) {
      route.Ctrl = part;
    } else if (index == 1) {
      route.Evt = part;
    } else {
      route.Evtp += part;  // parts after the third are joined to evtp without separator
    }
    ++index;
    if (dash == std::string::npos) break;
    start = dash + 1;
  }
  if (!route.Ctrl.empty() && route.Ctrl.front() == '/') route.Ctrl.erase(0, 1);
  return route;
}

std::string TVexaRequestHandler::HttpDateOfDays(int64_t days) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = static_cast<std::time_t>((days - 25569) * 86400);
  std::tm tm{};
  if (!::gmtime_r(&t, &tm)) throw std::runtime_error("Cookie expiry out of range");
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday], tm.tm_mday,
                kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string TVexaRequestHandler::SetCookieValue(const std::string& name, const std::string& value,
                                                int32_t expiryDays, const std::string& path,
                                                const std::string& domain, bool secure, bool httpOnly) {
  std::string out = name + "=" + value;
  if (expiryDays != 0) out += "; Expires=" + HttpDateOfDays(expiryDays);
  if (!path.empty()) out += "; Path=" + path;
  if (!domain.empty()) out += "; Domain=" + domain;
  if (secure) out += "; Secure";
  if (httpOnly) out += "; HttpOnly";
  return out;
}

bool TVexaRequestHandler::IsRequestedWith(const std::string& value) const {
  if (!RequestInfo) return false;
  auto it = RequestInfo->find("x-requested-with");  // field names compare without case
  if (it == RequestInfo->end()) return false;
  return std::string_view(it->value()).find(value) != std::string_view::npos;
}

void TVexaRequestHandler::Attach(TConnection& connection, const HttpRequest& request, HttpReply& reply) {
  std::lock_guard<std::mutex> guard(lock_);
  Context = &connection;
  RequestInfo = &request;
  ResponseInfo = &reply;
  PagePath = TargetPath(request.target());
  HeadersPending = true;
  IsAjax = false;
  ClientGone = false;
}

void TVexaRequestHandler::Run(const std::string& page, TJSON& postDoc, TConnection& connection,
                              const HttpRequest& request, HttpReply& reply, bool secure) {
  Attach(connection, request, reply);

  const std::string idata = BuildServerInfo(request, connection.PeerAddress(), secure);
  const std::string bcookies = CookiesToJSON(request, nullptr);
  if (Args) {
    postDoc.AddAssoArray("sargv", *Args);
  } else {
    postDoc.Current()["sargv"] = JsonValue::object();
  }
  const std::string cdata = StrToHex(postDoc.GetJSON());

  // Linux cannot start a program with an environment entry above 128 KiB:
  // refuse such a request plainly instead of letting PHP fail to start.
  for (const auto& [name, value] : {std::pair<const char*, const std::string*>{"idata", &idata},
                                    {"cdata", &cdata},
                                    {"bcookies", &bcookies}}) {
    if (FitsEnvEntry(name, *value)) continue;
    const std::string why = std::string("the request's ") + name + " data is " + std::to_string(value->size()) +
                            " bytes hex-coded; one process environment entry holds at most " +
                            std::to_string(kMaxEnvEntry) + " bytes";
    PrintError("Request Handler Error:- Request too large for the application: " + why + " Path " +
               ConsoleQuote(page));
    SetPlainReply(reply.response, http::status::payload_too_large, "413 Request Entity Too Large: " + why + ".");
    return;
  }

  const PageRoute route = SplitPage(page);
  StartPhp(route.Ctrl, route.Evt, route.Evtp, idata, cdata, bcookies);

  bool started, gone;
  {
    std::lock_guard<std::mutex> guard(lock_);
    started = reply.started;
    gone = ClientGone;
  }
  // A page refused for want of a process slot has its 503 already; a page
  // whose client left is answered to nobody.
  if (!started && !gone && reply.response.result() != http::status::service_unavailable) {
    // PHP never ran, so nothing was written: say so rather than answer an
    // empty 200.
    SetPlainReply(reply.response, http::status::internal_server_error,
                  "500 Internal Server Error: the application could not be started.");
  }
}

void TVexaRequestHandler::StartPhp(const std::string& ctrl, const std::string& evt, const std::string& evtp,
                                   const std::string& idata, const std::string& cdata,
                                   const std::string& bcookies) {
  try {
    // The page waits a while for one of the server's process slots; then it
    // is answered 503. A page whose client leaves meanwhile never runs.
    TProcessSlot slot = TakeRequestSlot(slots_, *Context,
                                        {"Page", "page", PagePath, std::string(RequestInfo->target())},
                                        [this](http::status status, const std::string& text) {
                                          std::lock_guard<std::mutex> guard(lock_);
                                          SetPlainReply(ResponseInfo->response, status, text);
                                        });
    if (!slot) {
      // A page whose connection is shut is answered to nobody.
      std::lock_guard<std::mutex> guard(lock_);
      if (Context->IsShutdown()) ClientGone = true;
      return;
    }
    auto bridge = std::make_unique<TVexaAppMiddle>(ctrl, nullptr, false);
    std::vector<std::string> params = TVexaAppMiddle::AppParams(ctrl, evt, evtp);
    std::vector<std::string> env = {"idata=" + idata, "cdata=" + cdata, "bcookies=" + bcookies};
    bridge->OnData = [this](const TJSON& envelope, const std::string& text, bool isJson, bool isItem) {
      OnAppData(envelope, text, isJson, isItem);
    };
    bridge->OnError = [this](const std::string& line) { OnAppError(line); };
    bridge->OnExit = [this](const std::string& text) { OnAppExit(text); };
    bridge->WaitForExit = true;
    // The connection's thread waits for the page's end, and meanwhile looks
    // at the connection: a page whose client has left, or whose connection
    // the server's shutdown has shut, is stopped whether or not it writes.
    bridge->StopWhen = [this] { return ClientLeft(); };
    {
      std::lock_guard<std::mutex> guard(lock_);
      App = bridge.get();
    }
    struct Detach {
      TVexaRequestHandler* self;
      ~Detach() {
        std::lock_guard<std::mutex> guard(self->lock_);
        self->App = nullptr;
      }
    } detach{this};
    bridge->StartApp(TVexaAppMiddle::PhpExe(), params, env, std::move(slot));
  } catch (const std::exception& e) {
    PrintError("Error in " + ProjPath + " Project Vexa App Request " + ConsoleQuote(e.what()));
  }
}

bool TVexaRequestHandler::ClientLeft() {
  const bool shutdown = Context->IsShutdown();
  if (!shutdown && !Context->PeerHungUp()) return false;
  std::lock_guard<std::mutex> guard(lock_);
  // A failed write may have said so already.
  if (!ClientGone) {
    ClientGone = true;
    // At the server's shutdown every page still running is stopped quietly.
    if (!shutdown) {
      WriteLine("Page " + ConsoleQuote(PagePath) + " stopped: its client left");
      Context->Shutdown();  // nothing more goes to it
    }
  }
  return true;
}

void TVexaRequestHandler::WriteHeaderLocked() {
  if (ResponseInfo->started) return;
  StartChunked(*Context, *ResponseInfo);
}

std::string TVexaRequestHandler::PlainContentTypeLocked() {
  if (RequestContentType(*RequestInfo) == "application/json") return kPlainText;
  if (IsRequestedWith("XMLHttpRequest")) {
    IsAjax = true;
    std::string t = "text/html";
    auto it = RequestInfo->find(http::field::accept);
    std::string_view accept;
    if (it != RequestInfo->end()) accept = it->value();
    if (accept.size() > 1) {
      std::size_t start = 0;
      while (true) {
        std::size_t comma = accept.find(',', start);
        std::string_view part = accept.substr(start, comma == std::string_view::npos ? comma : comma - start);
        if (part == "*/*") t = "text/html";
        else if (part == "application/json") t = "text/json";
        else if (part == "application/javascript") t = "application/javascript";
        if (comma == std::string_view::npos) break;
        start = comma + 1;
      }
    }
    return t + ";charset=UTF-8";
  }
  return kPlainHtml;
}

void TVexaRequestHandler::ApplyEnvelopeLocked(const TJSON& envelope) {
  auto& res = ResponseInfo->response;
  const JsonValue* headers = envelope.Find("headers");
  if (headers && headers->is_object() && !headers->empty()) {
    res.set(http::field::server, "OrvantPHP");
    for (auto it = headers->begin(); it != headers->end(); ++it) {
      const JsonValue& v = it.value();
      if (!v.is_array() || v.empty()) continue;  // no value to send
      const std::string value = ElementText(v, 0);
      if (!IsHeaderSafe(it.key()) || !IsHeaderSafe(value) || it.key().empty()) {
        PrintError("Error on Send Vexa Rx to Browser:- Header skipped, its name or value holds a line break: " +
                   ConsoleQuote(it.key()));
        continue;
      }
      if (it.key() == "content-type") {
        res.set(http::field::content_type, value);
      } else {
        res.insert(it.key(), value);
      }
    }
  }
  const JsonValue* cookies = envelope.Find("cookies");
  if (cookies && cookies->is_object()) {
    for (auto it = cookies->begin(); it != cookies->end(); ++it) {
      const JsonValue& c = it.value();
      if (!c.is_array() || c.size() < 6) {
        throw std::runtime_error("Cookie \"" + it.key() + "\" needs an array of six elements");
      }
      const std::string line =
          SetCookieValue(it.key(), ElementText(c, 0), JSONToVariant(&c.at(1)).ToInt32(), ElementText(c, 2),
                         ElementText(c, 3), JSONToVariant(&c.at(4)).ToBool(), JSONToVariant(&c.at(5)).ToBool());
      if (!IsHeaderSafe(line)) {
        PrintError("Error on Send Vexa Rx to Browser:- Cookie skipped, it holds a line break: " + ConsoleQuote(it.key()));
        continue;
      }
      res.insert(http::field::set_cookie, line);
    }
  }
}

TVexaAppMiddle* TVexaRequestHandler::ClientGoneLocked(const std::system_error& e) {
  ClientGone = true;
  const std::error_code code = e.code();
  if (code == std::errc::broken_pipe || code == std::errc::connection_reset || Context->PeerHungUp())
    WriteLine("Page " + ConsoleQuote(PagePath) + " stopped: its client left");
  else
    WriteLine("Page " + ConsoleQuote(PagePath) + " stopped: writing to its client failed: " + ConsoleQuote(e.what()));
  return App;
}

void TVexaRequestHandler::OnAppData(const TJSON& envelope, const std::string& text, bool isJson, bool isItem) {
  TVexaAppMiddle* stop = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (ClientGone) return;  // the page is being stopped: its output goes nowhere
    try {
      if (isJson) {
        if (HeadersPending) {
          HeadersPending = false;
          ApplyEnvelopeLocked(envelope);
          WriteHeaderLocked();
        }
        WriteHeaderLocked();  // the header goes out with the first output that gets through
        SendChunkText(*Context, isItem ? text + "," : text);
      } else {
        if (HeadersPending) {
          HeadersPending = false;
          ResponseInfo->response.set(http::field::content_type, PlainContentTypeLocked());
          WriteHeaderLocked();
        }
        WriteHeaderLocked();
        SendChunkText(*Context, IsAjax ? text + "\r\n" : text);
      }
    } catch (const std::system_error& e) {
      stop = ClientGoneLocked(e);
    } catch (const std::exception& e) {
      PrintError("Error on Send Vexa Rx to Browser:- " + ConsoleQuote(e.what()));
    } catch (...) {
      // anything thrown that is not an error object is dropped
    }
  }
  // Outside the lock: the stop waits for the process's end.
  if (stop) stop->StopApp();
}

void TVexaRequestHandler::OnAppError(const std::string& line) {
  TVexaAppMiddle* stop = nullptr;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (ClientGone) return;
    try {
      if (!ResponseInfo->started) {
        ResponseInfo->response.set(http::field::content_type,
                                   RequestContentType(*RequestInfo) == "application/json" ? kPlainText : kPlainHtml);
      }
      WriteHeaderLocked();
      SendChunkText(*Context, "ReqHand:- Process Error(RX):- " + line + "\r\n");
    } catch (const std::system_error& e) {
      stop = ClientGoneLocked(e);
    }
  }
  if (stop) stop->StopApp();
}

void TVexaRequestHandler::OnAppExit(const std::string&) {
  std::lock_guard<std::mutex> guard(lock_);
  if (ClientGone) return;
  if (!ResponseInfo->started) {
    // The application wrote nothing: an empty reply of the plain-output type.
    ResponseInfo->response.set(http::field::content_type,
                               RequestContentType(*RequestInfo) == "application/json" ? kPlainText : kPlainHtml);
  }
  WriteHeaderLocked();
  EndChunked(*Context, *ResponseInfo);
}

}  // namespace vexa

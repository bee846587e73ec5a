#pragma once
// TRequestHandler: the road of one HTTP request that is not a WebSocket
// upgrade. From the request path alone it picks:
//  - an application page (extension "html" or "app"), run by PHP;
//  - a file of the project, of the framework folder ("~rs/") or any local
//    file ("~furl/"), sent with a ten-day caching header, "nosniff" and
//    "Cross-Origin-Resource-Policy: same-origin"; a file in the upload folder
//    ("cache/" of the project folder, however the path reaches it) also with
//    "Content-Security-Policy: sandbox", so that it never runs as a page of
//    the server's own origin;
//  - a file inside a .phar archive, read out by a short-lived PHP process and
//    streamed as a chunked reply while it arrives; the process takes one of
//    the server's process slots like a page (503 when none comes free), and
//    like a page's it is stopped when its client leaves: the connection's
//    thread watches the connection while it waits for the process's output,
//    and a client that has closed it (or a write that fails) kills the
//    process at once, with one console line ("Phar read /p stopped: its
//    client left"). Bytes of a request pipelined behind it are no leaving.
// The path is the request target up to "?"; percent escapes are not decoded.
// A path with a ".." segment (also percent-encoded) gets 404, except for any
// local file; any local file is served to loopback clients only, and not to
// a fetch whose Sec-Fetch-Site names another site or port (else 404).
// "/" is "/index.html"; ".php" and ".front" paths get ".html" appended, so
// such files are never run or sent as themselves.

#include <functional>
#include <string>
#include <string_view>

#include "core/process_slots.hpp"
#include "server/http/connection.hpp"
#include "server/http/http_types.hpp"

namespace vexa {

// Cache-Control of every file reply.
inline constexpr const char* kFileCacheControl = "public, max-age=864000";
// Exit code of the .phar one-liner when the file is not in the archive.
inline constexpr int kPharFileMissingExit = 4;

class TRequestHandler {
 public:
  // `slots`: the counter that the PHP process of a page or of a .phar file
  // read takes its slot from.
  explicit TRequestHandler(TProcessSlots& slots = TProcessSlots::Instance()) : slots_(slots) {}
  // The whole road of one request. Raises nothing: errors are printed.
  void HandleRequest(TConnection& connection, const HttpRequest& request, HttpReply& reply,
                     bool secure);
  void ServeStaticFile(const std::string& localPath, const std::string& extension,
                       TConnection& connection, const HttpRequest& request, HttpReply& reply);
  void ServePharFile(const std::string& localPath, const std::string& extension,
                     TConnection& connection, const HttpRequest& request, HttpReply& reply);

 private:
  TProcessSlots& slots_;
};

// How the wait for the process slot of one request's PHP run names that run
// in its console lines.
struct TRequestRunNames {
  std::string Run;       // "Page", "Phar read": leads the client-left line
  std::string Waiter;    // "page", "file": "...; the page waited 10000 ms"
  std::string Path;      // the requested path, in the client-left line
  std::string BusyPath;  // what the busy line names after "Path"
};

// The text of the 503 reply of a request that found no process slot.
inline constexpr const char* kNoSlotReplyText =
    "503 Service Unavailable: the server runs as many PHP processes as it may; try again later.";

// The process slot for the PHP run of one request (a page, or a read out of a
// .phar): waits for one up to the counter's PageWait, and no longer once the
// client has closed the connection (a request pipelined behind this one is
// no close) or the server has shut it. Without a slot, one of:
//  - the client left: the console line "<Run> <Path> not run: its client
//    left while it waited for a process slot", and the connection is shut;
//  - the server shut the connection: nothing is said;
//  - none came free in time: the console line "Error: Request Handler
//    Error:- Server busy: ...; the <Waiter> waited <ms> ms Path <BusyPath>",
//    and `answer` gets 503 and kNoSlotReplyText, to write the reply.
// In the first two cases, and only there, the connection is shut afterwards.
TProcessSlot TakeRequestSlot(TProcessSlots& slots, TConnection& connection, const TRequestRunNames& names,
                             const std::function<void(http::status, const std::string&)>& answer);

// The request target up to, not including, "?".
std::string TargetPath(std::string_view target);
// The extension of the last path component, without its dot, as written
// ("" when there is none). Components end at "/", "\" and ":".
std::string PathExtension(const std::string& path);
// The local file a file request names: "~rs/" into the framework folder,
// the project folder in front (unless a start script was named), then
// "~furl/" to the full local path that follows it. anyLocalFile, when given,
// is set to whether the file lies outside both folders by design ("~furl/",
// or the bare path when a start script was named).
std::string MapLocalPath(const std::string& requestPath, bool* anyLocalFile = nullptr);
// The text between single quotes in PHP: backslash and quote escaped.
std::string EscapePhpSingleQuoted(std::string_view text);
// The PHP code that prints the file at phar:// + localPath, or exits with
// kPharFileMissingExit when there is no such file.
std::string PharOneLiner(const std::string& localPath);
// A setting as text: strings as they are, other values in their written form,
// "" when absent.
std::string SettingText(const std::string& name);

}  // namespace vexa

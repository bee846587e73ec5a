#pragma once
// Process-wide state shared by the server's parts.
//
// Written on the main thread during start-up and only read afterwards, except:
//  - Settings "browser", rewritten by the browser worker;
//  - WsApps, GsApps and LastConId, which change while the server runs.
// GlobalLock (re-entrant) guards exactly four registry changes: putting a
// connection into WsApps, removing one, joining a connection to a global
// application, and adding an application to a connection's list.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace vexa {

class TJSON;
class TAssoArray;
class TStartApp;

extern TStartApp* App;
extern TJSON* Settings;
extern TAssoArray* Args;
extern std::string ExePath;
extern std::string ProjPath;
extern std::string ProjDir;
extern bool IsPhar;
extern std::string AppType;
extern std::string PhpAppType;          // "start.php" until "--phpapptype" is given
extern bool PhpAppTypeIsDefault;        // true until "--phpapptype" is given
extern std::atomic<int32_t> LastConId;
extern TAssoArray* WsApps;              // connection id (decimal text) -> TWsApp, owning
extern TAssoArray* GsApps;              // application name -> TGsApp, owning
extern std::recursive_mutex* GlobalLock;

// Takes the next WebSocket connection id in one indivisible step: 1, 2, 3, ...
int32_t NextConId();

// Writes one whole line to standard output with a single write, so that lines
// of different threads never mix.
void WriteLine(const std::string& line);

// Console lines quote what a client or a PHP process sent only this far, so
// that one broken message cannot make a line of any size.
constexpr size_t kConsoleQuoteMax = 300;
// The text as it may stand in a console line. Control characters (C0, DEL and
// the C1 range U+0080..U+009F) and bytes that are not well-formed UTF-8 are
// written as "\xNN" (C1 characters byte by byte), so that no quoted text can
// break the line or steer the terminal; every other character stays as it is.
// The result is at most kConsoleQuoteMax bytes, never cutting a character or
// an escape; when the text did not fit, "..." follows.
std::string ConsoleQuote(std::string_view text);

}  // namespace vexa

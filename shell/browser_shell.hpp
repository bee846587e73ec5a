#pragma once
// The vexaview program: one server address in a web view window whose title
// the page sets through its bound function "SetTitle".

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace vexa {

// The window title before any page has set one.
inline constexpr const char* kInitialTitle = "vexaview";

// Folder of the web view runtime's helper processes (WebKitGTK), fixed when
// the program is built.
std::string WebViewRuntimeDir();

// The address to open: the first argument without its first six characters
// (the length of "--url=", which is not compared), or the built-in start page
// when there is no first argument or it is empty.
std::string ShellUrl(int argc, const char* const* argv);

// The window title asked for by a "SetTitle" call whose arguments are the JSON
// array text `req`: the text without its first two and last two bytes, taken
// as it stands (escapes are not decoded); nothing when `req` has three bytes
// or fewer.
std::optional<std::string> TitleFromRequest(std::string_view req);

// True when the web view runtime's folder exists.
bool IsWebView2Installed(const std::string& runtimeDir = WebViewRuntimeDir());

// Tells the user that the runtime is missing, names the package to install and
// opens its download page through `open`.
void ReportMissingRuntime(std::ostream& out, const std::function<bool(const std::string&)>& open);

// Opens `url` with the desktop's default handler (xdg-open). Waits a few
// seconds at most for the opener; false when it cannot be started.
bool OpenInDefaultHandler(const std::string& url);

// The whole program; returns its exit code.
int RunShell(int argc, const char* const* argv);

}  // namespace vexa

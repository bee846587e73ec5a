#include "shell/browser_shell.hpp"

#include "shell/webview.h"

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iostream>
#include <thread>

extern char** environ;

namespace vexa {
namespace {

// Shown when no address is given: a page of our own, no outside site.
constexpr std::string_view kStartPage =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>vexaview - no address</title></head>"
    "<body style=\"font-family: sans-serif; margin: 2em\"><h1>vexaview</h1>"
    "<p>No address to show. Start vexaview with --url=&lt;address&gt;.</p></body></html>";

constexpr const char* kRuntimePackage = "libwebkit2gtk-4.1-0";
constexpr const char* kRuntimePage = "https://packages.debian.org/bookworm/libwebkit2gtk-4.1-0";

// Registers a DOMContentLoaded listener so that the first page's own title
// becomes the window title.
constexpr const char* kTitleScript =
    "window.addEventListener(\"DOMContentLoaded\", function(){SetTitle(document.title);});";

std::string DataUrl(std::string_view html) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out = "data:text/html;charset=utf-8,";
  for (unsigned char c : html) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
        c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The window, used by the callbacks, all of which run on the window's thread.
webview_t w = nullptr;
// The address shown; kept alive until the window has closed.
std::string url;

void SetTitle(const char* seq, const char* req, void* /*arg*/) {
  if (auto title = TitleFromRequest(req)) webview_set_title(w, title->c_str());
  webview_return(w, seq, WebView_Return_Ok, "{result: \"ok\"}");
}

void DocumentTitleChanged2(webview_t view, void* /*arg*/) { webview_eval(view, kTitleScript); }

// Creates, runs and destroys the window. Floating-point exceptions need no
// masking here: they are masked by default on this platform.
int tt1(int argc, const char* const* argv) {
  w = webview_create(WebView_DevTools, nullptr);
  if (!w) {
    std::cerr << "vexaview: cannot open a window (no display?)" << std::endl;
    return 1;
  }
  webview_set_size(w, 1024, 768, WebView_Hint_None);
  webview_set_title(w, kInitialTitle);
  url = ShellUrl(argc, argv);
  webview_bind(w, "SetTitle", SetTitle, nullptr);
  webview_dispatch(w, DocumentTitleChanged2, nullptr);
  webview_navigate(w, url.c_str());
  webview_run(w);
  webview_destroy(w);
  w = nullptr;
  return 0;
}

}  // namespace

std::string WebViewRuntimeDir() { return VEXA_WEBKIT_RUNTIME_DIR; }

std::string ShellUrl(int argc, const char* const* argv) {
  if (argc < 2 || argv[1] == nullptr || argv[1][0] == '\0') return DataUrl(kStartPage);
  std::string_view first = argv[1];
  return first.size() > 6 ? std::string(first.substr(6)) : std::string();
}

std::optional<std::string> TitleFromRequest(std::string_view req) {
  if (req.size() <= 3) return std::nullopt;
  return std::string(req.substr(2, req.size() - 4));
}

bool IsWebView2Installed(const std::string& runtimeDir) {
  struct stat st{};
  return !runtimeDir.empty() && stat(runtimeDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ReportMissingRuntime(std::ostream& out, const std::function<bool(const std::string&)>& open) {
  out << "WebView2 runtime is not installed." << '\n'
      << "Install the package " << kRuntimePackage << " (apt-get install " << kRuntimePackage
      << ")." << std::endl;
  open(kRuntimePage);
}

bool OpenInDefaultHandler(const std::string& target) {
  std::string program = "xdg-open";
  std::string arg = target;
  char* const args[] = {program.data(), arg.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawnp(&pid, program.c_str(), nullptr, nullptr, args, environ) != 0) return false;
  // The opener normally hands the address on and ends at once; one that stays
  // (a browser started in its place) is left running rather than waited for.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

int RunShell(int argc, const char* const* argv) {
  if (!IsWebView2Installed()) {
    ReportMissingRuntime(std::cout, OpenInDefaultHandler);
    return 0;
  }
  return tt1(argc, argv);
}

}  // namespace vexa

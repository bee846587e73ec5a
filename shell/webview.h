#pragma once
// A thin native window with an embedded web view, on WebKitGTK 4.1 / GTK 3.
//
// Threading: every function except webview_dispatch must be called on the
// thread that created the window (the thread that runs webview_run).
// webview_dispatch may be called from any thread.

namespace vexa {

// Opaque handle of one window with its web view.
using webview_t = void*;

// Runs on the window's thread, queued by webview_dispatch.
using webview_dispatch_fn = void (*)(webview_t w, void* arg);
// A call of a bound page function: `seq` is the call id to hand to
// webview_return, `req` the JSON array text of the call's arguments.
using webview_bind_fn = void (*)(const char* seq, const char* req, void* arg);

// Flag of webview_create: developer tools (the inspector) on.
constexpr int WebView_DevTools = 1;

// Size hints of webview_set_size.
constexpr int WebView_Hint_None = 0;   // the size is the default; freely resizable
constexpr int WebView_Hint_Min = 1;    // the size is the minimum
constexpr int WebView_Hint_Max = 2;    // the size is the maximum
constexpr int WebView_Hint_Fixed = 3;  // the size is fixed; not resizable

// Status of webview_return: 0 resolves the page's promise, any other value
// rejects it.
constexpr int WebView_Return_Ok = 0;
constexpr int WebView_Return_Error = 1;

// Creates a window with a web view. `debug` non-zero turns the developer tools
// on. `window`, when not null, is an existing GtkWindow* to put the web view
// in (it is then not owned); otherwise a new top-level window is made.
// Returns null when no window can be made (GTK cannot open the display).
webview_t webview_create(int debug, void* window);

// Closes the window if it is still open and frees the handle.
void webview_destroy(webview_t w);

// Runs the window's event loop; returns once the window has been closed.
void webview_run(webview_t w);

// Queues `fn(w, arg)` to run on the window's thread. Thread-safe. A callback
// that has not run when the handle is destroyed never runs.
void webview_dispatch(webview_t w, webview_dispatch_fn fn, void* arg);

// Sets the window title (UTF-8; invalid bytes are replaced).
void webview_set_title(webview_t w, const char* title);

// Sets the window size with one of the WebView_Hint_* values.
void webview_set_size(webview_t w, int width, int height, int hints);

// Loads an address. The load starts from the window's event loop, once the
// callbacks queued before it have run; a second call before that replaces
// the address.
void webview_navigate(webview_t w, const char* url);

// Evaluates JavaScript in the page. While a navigation started by
// webview_navigate has not yet brought its page, the script is run in that
// page instead, as soon as its document exists (the page about to be replaced
// would lose it).
void webview_eval(webview_t w, const char* js);

// Makes `name` a global function of every page. Calling it returns a Promise
// and hands the call to `fn` with a call id and the arguments as JSON array
// text; the promise is settled by webview_return. Binding a name again
// replaces its callback.
void webview_bind(webview_t w, const char* name, webview_bind_fn fn, void* arg);

// Settles the page promise of call `seq`: resolves it when `status` is
// WebView_Return_Ok, otherwise rejects it. `result` is the text of a
// JavaScript value (JSON, or an object literal); empty gives undefined.
void webview_return(webview_t w, const char* seq, int status, const char* result);

}  // namespace vexa

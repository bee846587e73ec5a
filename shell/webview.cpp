#include "shell/webview.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vexa {
namespace {

// Name of the script message handler through which bound calls reach us.
constexpr const char* kHandlerName = "__vexaview";

// Installed in every top-level document before its own scripts run: keeps the
// pending promises of bound calls and posts each call to the native side.
// Call ids carry a per-document token, so that a late reply meant for a page
// that has since been replaced never settles a call of the new page.
constexpr const char* kBridgeScript = R"JS((function () {
  if (window.__vexaview) return;
  var host = window.webkit.messageHandlers.__vexaview;
  var token = Math.random().toString(36).slice(2);
  var next = 0;
  var pending = {};
  Object.defineProperty(window, "__vexaview", { value: {
    call: function (name, args) {
      return new Promise(function (resolve, reject) {
        var id = token + "." + (++next);
        var text = JSON.stringify(args);
        pending[id] = { resolve: resolve, reject: reject };
        host.postMessage(JSON.stringify({ id: id, name: name, args: text }));
      });
    },
    settle: function (id, status, value) {
      var p = pending[id];
      if (!p) return;
      delete pending[id];
      if (status === 0) p.resolve(value); else p.reject(value);
    }
  } });
})();)JS";

// A JavaScript string literal holding `text` (JSON string syntax; invalid
// UTF-8 is replaced rather than refused).
std::string JsString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

struct Binding {
  webview_bind_fn fn = nullptr;
  void* arg = nullptr;
};

struct WebView;

// Guards every queued dispatch entry and each window's set of them. One lock
// for all windows: the idle callback must take it before it may read its
// entry, and so cannot look a per-window lock up through that entry.
std::mutex dispatchMutex;

// One queued webview_dispatch call.
struct Dispatch {
  WebView* view = nullptr;
  webview_dispatch_fn fn = nullptr;
  void* arg = nullptr;
  guint source = 0;
};

struct WebView {
  GtkWidget* window = nullptr;       // null once the window has been destroyed
  bool ownsWindow = true;
  WebKitWebView* web = nullptr;
  WebKitUserContentManager* content = nullptr;  // our reference; the view holds one too
  std::map<std::string, Binding> bindings;
  std::map<std::string, WebKitUserScript*> bindScripts;  // one per bound name
  bool awaitingPage = false;         // navigate called, its page not yet committed
  std::vector<WebKitUserScript*> pageScripts;  // one-shot scripts for that page
  std::vector<std::string> pageSources;        // and their texts
  unsigned onceCounter = 0;
  std::string pendingUrl;            // the address of a load not yet started
  guint loadSource = 0;              // its idle source
  bool running = false;

  std::set<Dispatch*> dispatches;    // queued and not yet run (dispatchMutex)

  ~WebView();
  void EvalNow(const std::string& js);
  void DropPageScripts();
};

void WebView::EvalNow(const std::string& js) {
  if (!window) return;  // closed: the web view is being torn down
  webkit_web_view_evaluate_javascript(web, js.c_str(), static_cast<gssize>(js.size()), nullptr,
                                      nullptr, nullptr, nullptr, nullptr);
}

void WebView::DropPageScripts() {
  for (WebKitUserScript* s : pageScripts) {
    if (content) webkit_user_content_manager_remove_script(content, s);
    webkit_user_script_unref(s);
  }
  pageScripts.clear();
  pageSources.clear();
}

WebView::~WebView() {
  {
    std::lock_guard lock(dispatchMutex);
    for (Dispatch* d : dispatches) {
      g_source_remove(d->source);
      delete d;
    }
    dispatches.clear();
  }
  if (loadSource) g_source_remove(loadSource);
  DropPageScripts();
  for (auto& [name, script] : bindScripts) webkit_user_script_unref(script);
  // No signal may reach this object once it is gone.
  if (content) g_signal_handlers_disconnect_by_data(content, this);
  if (web) g_signal_handlers_disconnect_by_data(web, this);
  if (window) {
    g_signal_handlers_disconnect_by_data(window, this);
    if (ownsWindow) {
      gtk_widget_destroy(window);
    } else if (web) {
      gtk_container_remove(GTK_CONTAINER(window), GTK_WIDGET(web));
    }
    g_object_unref(window);
  }
  if (web) g_object_unref(web);
  if (content) g_object_unref(content);
}

void OnWindowDestroy(GtkWidget*, gpointer data) {
  auto* view = static_cast<WebView*>(data);
  g_object_unref(view->window);
  view->window = nullptr;
  if (view->running) gtk_main_quit();
}

void OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
  auto* view = static_cast<WebView*>(data);
  if (event == WEBKIT_LOAD_COMMITTED) {
    // The new document exists now: later scripts go to it directly. The
    // one-shot scripts meant for it are usually in it already, put in before
    // its own scripts; when they reached the engine too late for that, they
    // run now (each runs once either way). They must not run again in the
    // pages that follow, so they are dropped.
    view->awaitingPage = false;
    std::vector<std::string> sources = std::move(view->pageSources);
    view->DropPageScripts();
    for (const std::string& js : sources) view->EvalNow(js);
  }
}

void OnScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* result, gpointer data) {
  auto* view = static_cast<WebView*>(data);
  JSCValue* value = webkit_javascript_result_get_js_value(result);
  if (!jsc_value_is_string(value)) return;
  char* raw = jsc_value_to_string(value);
  std::string text = raw ? raw : "";
  g_free(raw);

  std::string id, name, args;
  try {
    auto msg = nlohmann::json::parse(text);
    id = msg.at("id").get<std::string>();
    name = msg.at("name").get<std::string>();
    args = msg.at("args").get<std::string>();
  } catch (const std::exception&) {
    return;  // not one of our calls: a page posting to the handler itself
  }
  auto it = view->bindings.find(name);
  if (it == view->bindings.end()) {
    webview_return(view, id.c_str(), WebView_Return_Error,
                   JsString("no native function \"" + name + "\"").c_str());
    return;
  }
  // Copy first: the callback may rebind this very name.
  Binding binding = it->second;
  binding.fn(id.c_str(), args.c_str(), binding.arg);
}

gboolean RunDispatch(gpointer data) {
  Dispatch entry;
  {
    std::lock_guard lock(dispatchMutex);
    auto* d = static_cast<Dispatch*>(data);
    entry = *d;
    entry.view->dispatches.erase(d);
    delete d;
  }
  entry.fn(entry.view, entry.arg);
  return G_SOURCE_REMOVE;
}

gboolean StartLoad(gpointer data) {
  auto* view = static_cast<WebView*>(data);
  view->loadSource = 0;
  if (view->window) webkit_web_view_load_uri(view->web, view->pendingUrl.c_str());
  return G_SOURCE_REMOVE;
}

WebKitUserScript* NewTopFrameScript(const std::string& source) {
  return webkit_user_script_new(source.c_str(), WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                                WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START, nullptr, nullptr);
}

}  // namespace

webview_t webview_create(int debug, void* window) {
  if (!gtk_init_check(nullptr, nullptr)) return nullptr;
  auto* view = new WebView;

  view->content = webkit_user_content_manager_new();
  g_signal_connect(view->content, (std::string("script-message-received::") + kHandlerName).c_str(),
                   G_CALLBACK(OnScriptMessage), view);
  webkit_user_content_manager_register_script_message_handler(view->content, kHandlerName);
  WebKitUserScript* bridge = NewTopFrameScript(kBridgeScript);
  webkit_user_content_manager_add_script(view->content, bridge);
  webkit_user_script_unref(bridge);

  view->web = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(view->content));
  g_object_ref_sink(view->web);
  g_signal_connect(view->web, "load-changed", G_CALLBACK(OnLoadChanged), view);
  WebKitSettings* settings = webkit_web_view_get_settings(view->web);
  if (debug) webkit_settings_set_enable_developer_extras(settings, TRUE);

  if (window) {
    view->window = GTK_WIDGET(window);
    view->ownsWindow = false;
  } else {
    view->window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  }
  g_object_ref(view->window);
  g_signal_connect(view->window, "destroy", G_CALLBACK(OnWindowDestroy), view);
  gtk_container_add(GTK_CONTAINER(view->window), GTK_WIDGET(view->web));
  gtk_widget_grab_focus(GTK_WIDGET(view->web));
  gtk_widget_show_all(view->window);
  return view;
}

void webview_destroy(webview_t w) {
  delete static_cast<WebView*>(w);
}

void webview_run(webview_t w) {
  auto* view = static_cast<WebView*>(w);
  if (!view->window) return;
  view->running = true;
  gtk_main();
  view->running = false;
}

void webview_dispatch(webview_t w, webview_dispatch_fn fn, void* arg) {
  auto* view = static_cast<WebView*>(w);
  // The lock is held across g_idle_add, so that the callback (which takes it
  // first) never sees the entry before its source id is stored.
  std::lock_guard lock(dispatchMutex);
  auto* d = new Dispatch{view, fn, arg, 0};
  view->dispatches.insert(d);
  d->source = g_idle_add(RunDispatch, d);
}

void webview_set_title(webview_t w, const char* title) {
  auto* view = static_cast<WebView*>(w);
  if (!view->window) return;
  gchar* valid = g_utf8_make_valid(title, -1);
  gtk_window_set_title(GTK_WINDOW(view->window), valid);
  g_free(valid);
}

void webview_set_size(webview_t w, int width, int height, int hints) {
  auto* view = static_cast<WebView*>(w);
  if (!view->window) return;
  GtkWindow* win = GTK_WINDOW(view->window);
  GdkGeometry geometry{};
  switch (hints) {
    case WebView_Hint_Min:
      geometry.min_width = width;
      geometry.min_height = height;
      gtk_window_set_geometry_hints(win, nullptr, &geometry, GDK_HINT_MIN_SIZE);
      break;
    case WebView_Hint_Max:
      geometry.max_width = width;
      geometry.max_height = height;
      gtk_window_set_geometry_hints(win, nullptr, &geometry, GDK_HINT_MAX_SIZE);
      break;
    case WebView_Hint_Fixed:
      gtk_window_set_resizable(win, FALSE);
      gtk_widget_set_size_request(view->window, width, height);
      break;
    default:
      gtk_window_set_resizable(win, TRUE);
      gtk_window_resize(win, width, height);
      break;
  }
}

void webview_navigate(webview_t w, const char* url) {
  auto* view = static_cast<WebView*>(w);
  if (!view->window) return;
  view->awaitingPage = true;
  // The load starts once the calls queued before it have run, so that the
  // scripts meant for the new page are in place before any of it arrives.
  // A later navigate replaces one that has not started yet.
  view->pendingUrl = url;
  if (view->loadSource == 0) view->loadSource = g_idle_add_full(G_PRIORITY_LOW, StartLoad, view, nullptr);
}

void webview_eval(webview_t w, const char* js) {
  auto* view = static_cast<WebView*>(w);
  if (!view->awaitingPage) {
    view->EvalNow(js);
    return;
  }
  // Runs at most once per document, whichever way it arrives first.
  const std::string id = std::to_string(++view->onceCounter);
  std::string once = "if (!(window.__vexaviewOnce = window.__vexaviewOnce || {})[" + id +
                     "]) {\nwindow.__vexaviewOnce[" + id + "] = 1;\n" + js + "\n}";
  WebKitUserScript* script = NewTopFrameScript(once);
  webkit_user_content_manager_add_script(view->content, script);
  view->pageScripts.push_back(script);
  view->pageSources.push_back(std::move(once));
}

void webview_bind(webview_t w, const char* name, webview_bind_fn fn, void* arg) {
  auto* view = static_cast<WebView*>(w);
  std::string key = name;
  view->bindings[key] = Binding{fn, arg};
  if (view->bindScripts.count(key)) return;  // the page function exists already
  const std::string js = "window[" + JsString(key) + "] = function () { return window.__vexaview.call(" +
                         JsString(key) + ", Array.prototype.slice.call(arguments)); };";
  WebKitUserScript* script = NewTopFrameScript(js);
  webkit_user_content_manager_add_script(view->content, script);
  view->bindScripts[key] = script;
  view->EvalNow(js);  // the page already shown gets it too
}

void webview_return(webview_t w, const char* seq, int status, const char* result) {
  auto* view = static_cast<WebView*>(w);
  std::string value = (result && *result) ? result : "undefined";
  view->EvalNow("window.__vexaview && window.__vexaview.settle(" + JsString(seq) + ", " +
                std::to_string(status == WebView_Return_Ok ? 0 : 1) + ", (" + value + "\n));");
}

}  // namespace vexa

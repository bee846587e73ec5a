// The webview layer in a real window (run under Xvfb by with_display.py):
// bound calls with their arguments, replies and rejections, dispatch from
// another thread, scripts for a page that is still loading, and teardown.

#include "shell/webview.h"

#include <gtk/gtk.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace vexa {
namespace {

// Every case ends by closing the window; one that hangs is closed after this.
constexpr guint kTimeoutSeconds = 20;

void CloseAllWindows() {
  GList* list = gtk_window_list_toplevels();
  for (GList* l = list; l; l = l->next) gtk_window_close(GTK_WINDOW(l->data));
  g_list_free(list);
}

class WebViewTest : public ::testing::Test {
 public:
  static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display"; }

  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vexa-webview-" + std::to_string(getpid()));
    fs::create_directories(dir_);
    w_ = webview_create(0, nullptr);
    ASSERT_NE(w_, nullptr);
    webview_bind(w_, "Report", &WebViewTest::OnReport, this);
  }
  void TearDown() override {
    if (w_) webview_destroy(w_);
    fs::remove_all(dir_);
  }

  std::string Page(const std::string& name, const std::string& script) {
    const fs::path p = dir_ / name;
    std::ofstream(p.string()) << "<!DOCTYPE html><html><head><title>" << name
                              << "</title><script>" << script
                              << "</script></head><body>test</body></html>";
    return "file://" + p.string();
  }

  // Runs the window until it is closed (or the safety timeout closes it).
  void Run() {
    guint timer = g_timeout_add_seconds(
        kTimeoutSeconds,
        [](gpointer self) -> gboolean {
          static_cast<WebViewTest*>(self)->timedOut_ = true;
          CloseAllWindows();
          return G_SOURCE_REMOVE;
        },
        this);
    webview_run(w_);
    if (!timedOut_) g_source_remove(timer);
    ASSERT_FALSE(timedOut_) << "the window was not closed in time; reports: " << reports_.size();
  }

  // Report(text): records the text; the hook decides what follows (by
  // default the window is closed).
  static void OnReport(const char* seq, const char* req, void* arg) {
    auto* self = static_cast<WebViewTest*>(arg);
    auto args = nlohmann::json::parse(req);
    self->reports_.push_back(args.empty() ? std::string() : args[0].get<std::string>());
    webview_return(self->w_, seq, WebView_Return_Ok, "");
    if (self->onReport_) {
      self->onReport_();
    } else {
      CloseAllWindows();
    }
  }

  fs::path dir_;
  webview_t w_ = nullptr;
  bool timedOut_ = false;
  std::vector<std::string> reports_;
  std::function<void()> onReport_;
  std::vector<std::string> calls_;  // the request texts of Echo
  std::vector<std::string> seqs_;   // the call ids of Echo
};

TEST_F(WebViewTest, BoundCallGetsItsArgumentsAsJsonAndResolvesWithTheReply) {
  webview_bind(
      w_, "Echo",
      [](const char* seq, const char* req, void* arg) {
        auto* self = static_cast<WebViewTest*>(arg);
        self->calls_.push_back(req);
        webview_return(self->w_, seq, WebView_Return_Ok, "{n: 5, s: \"x\"}");
      },
      this);
  webview_navigate(w_, Page("echo.html", R"(
    window.addEventListener("load", function () {
      Echo(1, 'a"b', [true, null], {k: "v"}, "\u00e9").then(
        function (v) { Report("ok " + JSON.stringify(v)); },
        function (e) { Report("rejected " + e); });
    });)").c_str());
  Run();
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0], "[1,\"a\\\"b\",[true,null],{\"k\":\"v\"},\"\xC3\xA9\"]");
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], R"(ok {"n":5,"s":"x"})");
}

TEST_F(WebViewTest, ErrorStatusRejectsAndRepliesFindTheirOwnCalls) {
  // Echo keeps its calls; the second call's reply settles both, the later
  // call first and the earlier one rejected.
  webview_bind(
      w_, "Echo",
      [](const char* seq, const char* req, void* arg) {
        auto* self = static_cast<WebViewTest*>(arg);
        self->calls_.push_back(req);
        self->seqs_.push_back(seq);
        if (self->seqs_.size() == 2) {
          webview_return(self->w_, self->seqs_[1].c_str(), WebView_Return_Ok, "\"B\"");
          webview_return(self->w_, self->seqs_[0].c_str(), WebView_Return_Error, "\"no A\"");
        }
      },
      this);
  webview_navigate(w_, Page("order.html", R"(
    window.addEventListener("load", function () {
      var a = Echo("a").then(function (v) { return "resolved " + v; },
                             function (e) { return "rejected " + e; });
      var b = Echo("b");
      Promise.all([a, b]).then(function (v) { Report(JSON.stringify(v)); });
    });)").c_str());
  Run();
  ASSERT_EQ(seqs_.size(), 2u);
  EXPECT_NE(seqs_[0], seqs_[1]);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0], R"(["rejected no A","B"])");
}

TEST_F(WebViewTest, DispatchFromAnotherThreadRunsOnTheWindowThread) {
  struct State {
    std::thread::id ran;
    std::atomic<int> count{0};
  } state;
  webview_navigate(w_, Page("idle.html", "").c_str());
  std::thread other([&] {
    for (int i = 0; i < 50; ++i) {
      webview_dispatch(
          w_,
          [](webview_t, void* arg) {
            auto* s = static_cast<State*>(arg);
            s->ran = std::this_thread::get_id();
            if (++s->count == 50) CloseAllWindows();
          },
          &state);
    }
  });
  Run();
  other.join();
  EXPECT_EQ(state.count.load(), 50);
  EXPECT_EQ(state.ran, std::this_thread::get_id());
}

TEST_F(WebViewTest, ScriptForALoadingPageRunsInThatPageOnly) {
  const std::string second = Page("second.html", R"(
    window.addEventListener("load", function () { Report("second " + typeof window.marker); });)");
  onReport_ = [&] {
    if (reports_.size() == 1) {
      webview_navigate(w_, second.c_str());
    } else {
      CloseAllWindows();
    }
  };
  webview_navigate(w_, Page("first.html", R"(
    window.addEventListener("load", function () { Report("first " + window.marker); });)").c_str());
  webview_eval(w_, "window.marker = 7;");
  Run();
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_EQ(reports_[0], "first 7");
  EXPECT_EQ(reports_[1], "second undefined");
}

TEST_F(WebViewTest, BindingAddedToAShownPageWorksThere) {
  onReport_ = [&] {
    if (reports_.size() == 1) {
      webview_bind(
          w_, "Late",
          [](const char* seq, const char* req, void* arg) {
            auto* self = static_cast<WebViewTest*>(arg);
            self->calls_.push_back(req);
            webview_return(self->w_, seq, WebView_Return_Ok, "4");
          },
          this);
      webview_eval(w_, "Late(3).then(function (v) { Report('late ' + v); });");
    } else {
      CloseAllWindows();
    }
  };
  webview_navigate(w_, Page("late.html", R"(
    window.addEventListener("load", function () { Report("loaded"); });)").c_str());
  Run();
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_EQ(reports_[1], "late 4");
  EXPECT_EQ(calls_, std::vector<std::string>{"[3]"});
}

TEST_F(WebViewTest, DestroyDropsDispatchesThatHaveNotRun) {
  bool ran = false;
  webview_dispatch(w_, [](webview_t, void* arg) { *static_cast<bool*>(arg) = true; }, &ran);
  webview_destroy(w_);
  w_ = nullptr;
  for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); ++i) {
  }
  EXPECT_FALSE(ran);
}

TEST_F(WebViewTest, TitleAndSizeReachTheWindow) {
  webview_set_title(w_, "caf\xC3\xA9 \xFF");
  webview_set_size(w_, 640, 480, WebView_Hint_Fixed);
  GList* list = gtk_window_list_toplevels();
  ASSERT_NE(list, nullptr);
  GtkWindow* win = GTK_WINDOW(list->data);
  g_list_free(list);
  // Invalid bytes are replaced, valid UTF-8 kept.
  EXPECT_EQ(std::string(gtk_window_get_title(win)), "caf\xC3\xA9 \xEF\xBF\xBD");
  EXPECT_FALSE(gtk_window_get_resizable(win));
}

}  // namespace
}  // namespace vexa

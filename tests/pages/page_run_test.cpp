// Whole runs of a page through real PHP, without the listener: the command
// line and environment PHP gets, and the requests that never reach PHP.

#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "platform/process.hpp"
#include "server/bridge/process_slots.hpp"
#include "server/http/connection.hpp"
#include "server/http/vexa_request_handler.hpp"
#include "test_support.hpp"
#include "wire.hpp"

namespace vexa {
namespace {

namespace fs = std::filesystem;

// The start script of the test project: reports what it was given.
const char kStartScript[] = R"PHP(<?php
$env = [];
foreach (['VEXA_EXECPATH', 'VEXA_PROJPATH', 'VEXA_PROJDIR', 'idata', 'cdata', 'bcookies'] as $n) {
    $env[$n] = getenv($n);
}
$order = [];
foreach (explode("\0", file_get_contents('/proc/self/environ')) as $entry) {
    $name = strstr($entry, '=', true);
    if (in_array($name, ['VEXA_EXECPATH', 'VEXA_PROJPATH', 'VEXA_PROJDIR', 'idata', 'cdata', 'bcookies'])) $order[] = $name;
}
$report = ['argv' => array_slice($argv, 1), 'order' => $order, 'cdata' => hex2bin($env['cdata']),
           'bcookies' => hex2bin($env['bcookies']), 'projdir' => $env['VEXA_PROJDIR']];
echo json_encode(['headers' => ['content-type' => ['application/json']], 'cookies' => new stdClass,
                  'content' => bin2hex(json_encode($report))]), "\n";
)PHP";

class PageRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    php_ = platform::FindOnPath("php");
    if (php_.empty()) GTEST_SKIP() << "php not installed";
    root_ = fs::temp_directory_path() / ("pages-run-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root_ / "cache");
    std::ofstream(root_ / "start.php") << kStartScript;
    settings_ = std::make_unique<TJSON>();
    settings_->Current()["php"] = php_;
    settings_->Current()["orvantphppath"] = "/fw";
    args_ = std::make_unique<TAssoArray>();
    args_->SetValue("--port", "9000");
    Settings = settings_.get();
    Args = args_.get();
    ExePath = "/bundle";
    ProjPath = ProjDir = root_.string();
    IsPhar = false;
    PhpAppType = "start.php";
  }
  void TearDown() override {
    Settings = nullptr;
    Args = nullptr;
    ExePath.clear();
    ProjPath.clear();
    ProjDir.clear();
    if (!root_.empty()) fs::remove_all(root_);
  }
  // Runs the page for the raw request; returns what the client received.
  test::Wire RunPage(const std::string& page, const std::string& rawRequest, TJSON post = TJSON()) {
    auto request = test::ParseRequest(rawRequest);
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string raw;
    std::thread reader([&] {
      char buf[65536];
      ssize_t n;
      while ((n = ::read(fds[1], buf, sizeof buf)) > 0) raw.append(buf, static_cast<std::size_t>(n));
    });
    {
      TConnection connection(fds[0], "127.0.0.9");
      TJSON postDoc;
      postDoc.AddJSON("postdata", post);
      TVexaRequestHandler handler;
      try {
        handler.Run(page, postDoc, connection, request, *reply_, false);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "Run raised: " << e.what();
      }
    }
    reader.join();
    ::close(fds[1]);
    return test::ParseWire(raw);
  }

  std::string php_;
  fs::path root_;
  std::unique_ptr<TJSON> settings_;
  std::unique_ptr<TAssoArray> args_;
  std::unique_ptr<HttpReply> reply_ = std::make_unique<HttpReply>();
};

TEST_F(PageRunTest, PhpGetsTheCommandLineAndTheEnvironmentInOrder) {
  TJSON post;
  post.Current()["name"] = "x";
  test::Wire w = RunPage("/blog-view-1-2", "POST /blog-view-1-2.html HTTP/1.1\r\nHost: h\r\nCookie: a=1; b=2\r\n"
                                           "Content-Length: 0\r\n\r\n", post);
  ASSERT_TRUE(w.ended) << w.header << w.rest;
  EXPECT_TRUE(w.HasField("Content-Type: application/json"));
  JsonValue report = JsonValue::parse(w.Body());
  std::string p = root_.string();
  EXPECT_EQ(report["argv"], JsonValue({"-", "--aroot", "/bundle", "--sharedpath", "/fw", "--ctrl", "blog", "--evt",
                                       "view", "--evtp", "12", "--droot", p}));
  EXPECT_EQ(report["order"],
            JsonValue({"VEXA_EXECPATH", "VEXA_PROJPATH", "VEXA_PROJDIR", "idata", "cdata", "bcookies"}));
  EXPECT_EQ(report["cdata"], R"({ "postdata" : { "name" : "x" }, "sargv" : { "--port" : "9000" } })");
  EXPECT_EQ(report["bcookies"], R"({ "a" : "1", "b" : "2" })");
  EXPECT_EQ(report["projdir"], p);
}

TEST_F(PageRunTest, DataTooLargeForTheEnvironmentIsAnswered413WithoutRunningPhp) {
  // Three cookie lines of 30 KiB: hex-coded, the cookie document is 180 KiB.
  std::string cookies;
  for (int i = 0; i < 3; ++i) cookies += "Cookie: big" + std::to_string(i) + "=" + std::string(30 * 1024, 'c') + "\r\n";
  test::StdoutCapture out;
  test::Wire w = RunPage("/index", "GET /index.html HTTP/1.1\r\nHost: h\r\n" + cookies + "\r\n");
  std::string lines = out.Text();
  EXPECT_TRUE(w.header.empty());  // nothing was written by the handler itself
  EXPECT_FALSE(reply_->started);
  EXPECT_EQ(reply_->response.result(), http::status::payload_too_large);
  EXPECT_NE(reply_->response.body().find("bcookies"), std::string::npos);
  EXPECT_NE(lines.find("Error: Request Handler Error:- Request too large for the application: the request's "
                       "bcookies data"),
            std::string::npos)
      << lines;

  TJSON post;
  post.Current()["text"] = std::string(65 * 1024, 't');
  reply_ = std::make_unique<HttpReply>();
  RunPage("/index", "POST /index.html HTTP/1.1\r\nHost: h\r\nContent-Length: 0\r\n\r\n", post);
  EXPECT_EQ(reply_->response.result(), http::status::payload_too_large);
  EXPECT_NE(reply_->response.body().find("cdata"), std::string::npos);
}

TEST_F(PageRunTest, PhpThatCannotStartIsAnError500NotAnEmpty200) {
  settings_->Current()["php"] = (root_ / "no-such-php").string();
  test::StdoutCapture out;
  test::Wire w = RunPage("/index", "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n");
  std::string lines = out.Text();
  EXPECT_FALSE(reply_->started);
  EXPECT_EQ(reply_->response.result(), http::status::internal_server_error);
  EXPECT_NE(lines.find("Error Process:- "), std::string::npos) << lines;
}

TEST_F(PageRunTest, PagePastTheProcessBoundWaitsForASlotThenIs503) {
  TProcessSlots& slots = TProcessSlots::Instance();
  struct RestoreLimits {
    TProcessLimits saved = TProcessSlots::Instance().Limits();
    ~RestoreLimits() { TProcessSlots::Instance().SetLimits(saved); }
  } restore;
  TProcessLimits small = restore.saved;
  small.MaxProcesses = 1;
  small.PageWait = std::chrono::milliseconds(400);
  slots.SetLimits(small);
  TProcessSlot taken = slots.TryTake();  // the one slot: held by another process
  ASSERT_TRUE(taken);

  test::StdoutCapture out;
  auto t0 = std::chrono::steady_clock::now();
  test::Wire w = RunPage("/index", "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n");
  const auto waited = std::chrono::steady_clock::now() - t0;
  std::string lines = out.Text();
  EXPECT_GE(waited, std::chrono::milliseconds(400));
  EXPECT_TRUE(w.header.empty());
  EXPECT_FALSE(reply_->started);
  EXPECT_EQ(reply_->response.result(), http::status::service_unavailable);
  EXPECT_EQ(reply_->response.body(),
            "503 Service Unavailable: the server runs as many PHP processes as it may; try again later.\r\n");
  EXPECT_NE(lines.find("Error: Request Handler Error:- Server busy: the server runs as many PHP processes as it may "
                       "at once (1); the page waited 400 ms Path /index.html\n"),
            std::string::npos)
      << lines;
  EXPECT_EQ(slots.InUse(), 1u);

  // A slot that comes free while the page waits lets it run at once.
  small.PageWait = std::chrono::seconds(30);
  slots.SetLimits(small);
  reply_ = std::make_unique<HttpReply>();
  std::thread freeing([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    taken.Release();
  });
  t0 = std::chrono::steady_clock::now();
  w = RunPage("/index", "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n");
  freeing.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  ASSERT_TRUE(w.ended) << w.header << w.rest;
  EXPECT_TRUE(w.HasField("Content-Type: application/json"));
  EXPECT_EQ(slots.InUse(), 0u);
}

}  // namespace
}  // namespace vexa

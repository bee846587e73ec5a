// Whole runs of a page through real PHP, without the listener: the command
// line and environment PHP gets, and the requests that never reach PHP.

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <fstream>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "platform/process.hpp"
#include "core/process_slots.hpp"
#include "server/http/connection.hpp"
#include "server/http/vexa_request_handler.hpp"
#include "test_support.hpp"
#include "wire.hpp"

namespace vexa {
namespace {

namespace fs = std::filesystem;

// The start script of the test project: reports what it was given.
const char kStartScript[] = R"PHP(<?php
// "/marker" leaves a file behind; "/sleep" marks its start and then writes
// nothing for 30 s.
$ctrl = $argv[array_search('--ctrl', $argv) + 1];
if ($ctrl === 'marker') touch(getenv('VEXA_PROJDIR') . '/ran');
if ($ctrl === 'sleep') {
    touch(getenv('VEXA_PROJDIR') . '/started');
    sleep(30);
    touch(getenv('VEXA_PROJDIR') . '/woke');
    exit;
}
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
  // `slots`: the process counter the page takes its slot from. `clientLeaves`,
  // when given, runs on the client's thread before it reads and gets the
  // client's socket: the client closes it when it returns.
  test::Wire RunPage(const std::string& page, const std::string& rawRequest, TJSON post = TJSON(),
                     TProcessSlots& slots = TProcessSlots::Instance(),
                     const std::function<void(int)>& clientLeaves = {}) {
    auto request = test::ParseRequest(rawRequest);
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    std::string raw;
    std::thread reader([&] {
      if (clientLeaves) {
        clientLeaves(fds[1]);
        ::close(fds[1]);
        return;
      }
      char buf[65536];
      ssize_t n;
      while ((n = ::read(fds[1], buf, sizeof buf)) > 0) raw.append(buf, static_cast<std::size_t>(n));
    });
    {
      TConnection connection(fds[0], "127.0.0.9");
      TJSON postDoc;
      postDoc.AddJSON("postdata", post);
      TVexaRequestHandler handler(slots);
      try {
        handler.Run(page, postDoc, connection, request, *reply_, false);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "Run raised: " << e.what();
      }
    }
    reader.join();
    if (!clientLeaves) ::close(fds[1]);
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
  TProcessLimits small;
  small.MaxProcesses = 1;
  small.PageWait = std::chrono::milliseconds(400);
  TProcessSlots slots(small);
  TProcessSlot taken = slots.TryTake(TProcessKind::Request);  // the one slot: held by another process
  ASSERT_TRUE(taken);

  test::StdoutCapture out;
  auto t0 = std::chrono::steady_clock::now();
  test::Wire w = RunPage("/index", "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n", TJSON(), slots);
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
  TProcessSlots patient(small);
  TProcessSlot held = patient.TryTake(TProcessKind::Request);
  reply_ = std::make_unique<HttpReply>();
  std::thread freeing([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    held.Release();
  });
  t0 = std::chrono::steady_clock::now();
  w = RunPage("/index", "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n", TJSON(), patient);
  freeing.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(20));
  ASSERT_TRUE(w.ended) << w.header << w.rest;
  EXPECT_TRUE(w.HasField("Content-Type: application/json"));
  EXPECT_EQ(patient.InUse(), 0u);
}

// Applications and their children hold only their share: a page finds the
// rest; and a page whose client leaves while it waits never runs.
TEST_F(PageRunTest, PagesFindTheSlotsApplicationsMayNotTakeAndNeverRunForAClientThatLeft) {
  TProcessLimits small;
  small.MaxProcesses = 2;
  small.MaxAppProcesses = 1;
  small.PageWait = std::chrono::seconds(60);
  TProcessSlots slots(small);
  TProcessSlot app = slots.TryTake(TProcessKind::Application);
  ASSERT_TRUE(app);
  EXPECT_FALSE(slots.TryTake(TProcessKind::Application));  // the applications' share is full
  test::Wire w = RunPage("/index", "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n", TJSON(), slots);
  ASSERT_TRUE(w.ended) << w.header << w.rest;
  EXPECT_EQ(slots.InUse(), 1u);

  // Every slot held: the page waits, and its client leaves meanwhile.
  TProcessSlot page = slots.TryTake(TProcessKind::Request);
  ASSERT_TRUE(page);
  reply_ = std::make_unique<HttpReply>();
  test::StdoutCapture out;
  const auto t0 = std::chrono::steady_clock::now();
  RunPage("/marker", "GET /marker.html?q=1 HTTP/1.1\r\nHost: h\r\n\r\n", TJSON(), slots, [](int) {});
  const auto waited = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(waited, std::chrono::seconds(30));  // far less than the page's wait
  page.Release();
  app.Release();
  const std::string lines = out.Text();
  EXPECT_NE(lines.find("Page /marker.html not run: its client left while it waited for a process slot\n"),
            std::string::npos)
      << lines;
  EXPECT_EQ(lines.find("Server busy"), std::string::npos) << lines;
  EXPECT_FALSE(reply_->started);
  EXPECT_FALSE(fs::exists(root_ / "ran"));
  EXPECT_EQ(slots.InUse(), 0u);
}

// A page that writes nothing is stopped soon after its client closes the
// connection, with one line naming it; a request pipelined behind it is no
// close.
TEST_F(PageRunTest, PageThatWritesNothingStopsSoonAfterItsClientLeaves) {
  test::StdoutCapture out;
  std::chrono::steady_clock::time_point left;
  RunPage("/sleep", "GET /sleep.html HTTP/1.1\r\nHost: h\r\n\r\n", TJSON(), TProcessSlots::Instance(), [&](int fd) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!fs::exists(root_ / "started") && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The next request's bytes are not a close.
    const std::string next = "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n";
    EXPECT_EQ(::write(fd, next.data(), next.size()), static_cast<ssize_t>(next.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "the page was stopped by the next request's bytes";
    left = std::chrono::steady_clock::now();
  });
  const auto stopped = std::chrono::steady_clock::now() - left;
  const std::string lines = out.Text();
  EXPECT_LT(stopped, std::chrono::seconds(10));  // the page would sleep 30 s
  EXPECT_FALSE(fs::exists(root_ / "woke"));
  EXPECT_FALSE(reply_->started);
  EXPECT_NE(reply_->response.result(), http::status::internal_server_error);
  size_t count = 0;
  for (size_t at = 0; (at = lines.find("Page /sleep.html stopped: its client left\n", at)) != std::string::npos; ++at)
    ++count;
  EXPECT_EQ(count, 1u) << lines;
}

}  // namespace
}  // namespace vexa

// Whole runs of a page through real PHP, and reads out of a .phar through a
// stand-in for PHP, without the listener: the command line and environment
// PHP gets, the requests that never reach PHP, the wait for a process slot
// and the stop of a run whose client leaves.

#include <poll.h>
#include <signal.h>
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
#include "server/http/request_handler.hpp"
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

// The stand-in for PHP on the .phar road; the one-liner names the file it
// reads. "ran.txt" leaves a file behind and prints; "slow.txt" writes its pid
// and "first", waits for the file "go", then writes "second" and nothing more
// for 30 s.
const char kPharStandIn[] = R"SH(#!/bin/sh
case "$2" in
  *ran.txt*) touch "$VEXA_PROJDIR/phar-ran"; printf 'read out' ;;
  *slow.txt*)
    echo $$ > "$VEXA_PROJDIR/phar.pid"
    printf first
    n=0
    while [ ! -e "$VEXA_PROJDIR/go" ] && [ $n -lt 1500 ]; do sleep 0.02; n=$((n+1)); done
    sleep 0.3
    printf second
    sleep 30
    touch "$VEXA_PROJDIR/phar-woke" ;;
esac
)SH";

// Reads from the client's end of a socket pair until `text` has arrived or
// 30 s have passed; what arrived is appended to `got`.
bool ReadUntil(int fd, const std::string& text, std::string& got) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  char buf[4096];
  while (got.find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= end) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    got.append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

// How many times `line` appears in `text`.
size_t CountOf(const std::string& text, const std::string& line) {
  size_t count = 0;
  for (size_t at = 0; (at = text.find(line, at)) != std::string::npos; at += line.size()) ++count;
  return count;
}

class PageRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    php_ = platform::FindOnPath("php");
    if (php_.empty()) GTEST_SKIP() << "php not installed";
    root_ = fs::temp_directory_path() / ("pages-run-" + std::to_string(::getpid()) + "-" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(root_ / "cache");
    std::ofstream(root_ / "start.php") << kStartScript;
    std::ofstream(root_ / "phar-php") << kPharStandIn;
    fs::permissions(root_ / "phar-php", fs::perms::owner_all);
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
    return Exchange(
        [&](TConnection& connection) {
          TJSON postDoc;
          postDoc.AddJSON("postdata", post);
          TVexaRequestHandler handler(slots);
          handler.Run(page, postDoc, connection, request, *reply_, false);
        },
        clientLeaves);
  }
  // The same for a GET of `target` on the request road, with the stand-in
  // for PHP that reads files out of a .phar.
  test::Wire RunPhar(const std::string& target, TProcessSlots& slots = TProcessSlots::Instance(),
                     const std::function<void(int)>& clientLeaves = {}) {
    HttpRequest request{http::verb::get, target, 11};
    settings_->Current()["php"] = (root_ / "phar-php").string();
    test::Wire w = Exchange(
        [&](TConnection& connection) { TRequestHandler(slots).HandleRequest(connection, request, *reply_, false); },
        clientLeaves);
    settings_->Current()["php"] = php_;
    return w;
  }
  // Serves on the server's end of a socket pair; the client's end is read
  // to its end, or given to `clientLeaves` (see RunPage).
  test::Wire Exchange(const std::function<void(TConnection&)>& serve, const std::function<void(int)>& clientLeaves) {
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
      try {
        serve(connection);
      } catch (const std::exception& e) {
        ADD_FAILURE() << "the road raised: " << e.what();
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

// A page or a .phar read past the process bound waits for a slot, then is
// answered 503 without running; a slot that comes free meanwhile lets it run.
TEST_F(PageRunTest, PageOrPharReadPastTheProcessBoundWaitsForASlotThenIs503) {
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

  // A file read out of a .phar is a PHP process too: it waits the same way,
  // and gets its road's own 503 reply.
  reply_ = std::make_unique<HttpReply>();
  test::StdoutCapture pharOut;
  t0 = std::chrono::steady_clock::now();
  w = RunPhar("/app.phar/ran.txt?v=1", slots);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
  lines = pharOut.Text();
  EXPECT_TRUE(w.header.empty()) << w.header;
  EXPECT_FALSE(fs::exists(root_ / "phar-ran"));
  EXPECT_FALSE(reply_->started);
  EXPECT_EQ(reply_->response.result(), http::status::service_unavailable);
  EXPECT_EQ(reply_->response[http::field::content_type], "text/plain; charset=utf-8");
  EXPECT_EQ(reply_->response.body(),
            "503 Service Unavailable: the server runs as many PHP processes as it may; try again later.");
  EXPECT_NE(lines.find("Error: Request Handler Error:- Server busy: the server runs as many PHP processes as it may "
                       "at once (1); the file waited 400 ms Path /app.phar/ran.txt\n"),
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

  // With a slot free, the read runs and gives its slot back.
  reply_ = std::make_unique<HttpReply>();
  w = RunPhar("/app.phar/ran.txt", patient);
  EXPECT_TRUE(fs::exists(root_ / "phar-ran"));
  EXPECT_TRUE(w.ended) << w.header << w.rest;
  EXPECT_EQ(w.Body(), "read out");
  EXPECT_EQ(patient.InUse(), 0u);
}

// Applications and their children hold only their share: a page finds the
// rest; and a page or a .phar read whose client leaves while it waits never
// runs, with one console line naming it.
TEST_F(PageRunTest, PagesFindTheSlotsApplicationsMayNotTakeAndNothingRunsForAClientThatLeft) {
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
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(30));  // far less than the page's wait
  EXPECT_FALSE(reply_->started);
  reply_ = std::make_unique<HttpReply>();
  const auto t1 = std::chrono::steady_clock::now();
  RunPhar("/app.phar/ran.txt?q=1", slots, [](int) {});
  EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::seconds(30));
  page.Release();
  app.Release();
  const std::string lines = out.Text();
  EXPECT_EQ(CountOf(lines, "Page /marker.html not run: its client left while it waited for a process slot\n"), 1u)
      << lines;
  EXPECT_EQ(CountOf(lines, "Phar read /app.phar/ran.txt not run: its client left while it waited for a process "
                           "slot\n"),
            1u)
      << lines;
  EXPECT_EQ(lines.find("Server busy"), std::string::npos) << lines;
  EXPECT_EQ(lines.find("Error"), std::string::npos) << lines;
  EXPECT_FALSE(reply_->started);
  EXPECT_NE(reply_->response.result(), http::status::service_unavailable);
  EXPECT_FALSE(fs::exists(root_ / "ran"));
  EXPECT_FALSE(fs::exists(root_ / "phar-ran"));
  EXPECT_EQ(slots.InUse(), 0u);
}

// A page that writes nothing, and a .phar read that has begun its reply, are
// stopped soon after their client closes the connection, each with one line
// naming it; a request pipelined behind them is no close.
TEST_F(PageRunTest, PageOrPharReadStopsSoonAfterItsClientLeaves) {
  auto out = std::make_unique<test::StdoutCapture>();
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
  auto stopped = std::chrono::steady_clock::now() - left;
  std::string lines = out->Text();
  EXPECT_LT(stopped, std::chrono::seconds(20));  // the page would sleep 30 s
  EXPECT_FALSE(fs::exists(root_ / "woke"));
  EXPECT_FALSE(reply_->started);
  EXPECT_NE(reply_->response.result(), http::status::internal_server_error);
  EXPECT_EQ(CountOf(lines, "Page /sleep.html stopped: its client left\n"), 1u) << lines;
  EXPECT_EQ(lines.find("Error"), std::string::npos) << lines;

  // The read's first part has arrived; the next request's bytes follow, and
  // its second part still comes (the stand-in writes it a while after "go").
  reply_ = std::make_unique<HttpReply>();
  TProcessLimits limits;
  limits.MaxProcesses = 1;
  TProcessSlots slots(limits);
  std::string got;
  bool first = false, second = false;
  out = std::make_unique<test::StdoutCapture>();
  RunPhar("/app.phar/slow.txt", slots, [&](int fd) {
    first = ReadUntil(fd, "first\r\n", got);
    const std::string next = "GET /index.html HTTP/1.1\r\nHost: h\r\n\r\n";
    if (::write(fd, next.data(), next.size()) != static_cast<ssize_t>(next.size())) return;
    std::ofstream(root_ / "go").close();
    second = ReadUntil(fd, "second\r\n", got);
    left = std::chrono::steady_clock::now();
  });
  stopped = std::chrono::steady_clock::now() - left;
  lines = out->Text();
  EXPECT_TRUE(first) << got;
  EXPECT_TRUE(second) << "the read was stopped by the next request's bytes: " << got;
  EXPECT_LT(stopped, std::chrono::seconds(20));  // the stand-in would sleep 30 s
  EXPECT_EQ(slots.InUse(), 0u);
  pid_t pid = 0;
  std::ifstream(root_ / "phar.pid") >> pid;
  ASSERT_GT(pid, 0);
  EXPECT_EQ(::kill(pid, 0), -1) << "the read's process " << pid << " still runs";
  EXPECT_FALSE(fs::exists(root_ / "phar-woke"));
  EXPECT_TRUE(reply_->started);
  EXPECT_FALSE(reply_->ended);
  EXPECT_EQ(CountOf(lines, "Phar read /app.phar/slow.txt stopped: its client left\n"), 1u) << lines;
  EXPECT_EQ(lines.find("Error"), std::string::npos) << lines;
}

}  // namespace
}  // namespace vexa

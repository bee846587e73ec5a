// The page reply: envelope headers and cookies, the content-type choice for
// plain output, error lines, the end marker and the lock around them.

#include "server/http/vexa_request_handler.hpp"

#include <sys/socket.h>

#include <memory>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "core/json.hpp"
#include "server/http/connection.hpp"
#include "test_support.hpp"
#include "wire.hpp"

namespace vexa {
namespace {

using test::ParseRequest;
using test::ParseWire;

// A handler attached to one end of a socket pair; the test reads the other.
class ReplyTest : public ::testing::Test {
 protected:
  void Open(const std::string& rawRequest) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    connection_ = std::make_unique<TConnection>(fds[0], "127.0.0.1");
    client_ = fds[1];
    reader_ = std::thread([this] {
      char buf[65536];
      ssize_t n;
      while ((n = ::read(client_, buf, sizeof buf)) > 0) raw_.append(buf, static_cast<std::size_t>(n));
    });
    request_ = ParseRequest(rawRequest);
    reply_ = std::make_unique<HttpReply>();
    handler_.Attach(*connection_, request_, *reply_);
  }
  // Closes the server end and returns what the client received.
  test::Wire Finish() {
    connection_.reset();
    reader_.join();
    ::close(client_);
    return ParseWire(raw_);
  }
  void TearDown() override {
    if (reader_.joinable()) Finish();
  }
  static TJSON Envelope(const std::string& text) { return TJSON::CreateFromText(text); }

  TVexaRequestHandler handler_;
  std::unique_ptr<TConnection> connection_;
  test::Request request_;
  std::unique_ptr<HttpReply> reply_;
  int client_ = -1;
  std::thread reader_;
  std::string raw_;
};

const char kGet[] = "GET /p.html HTTP/1.1\r\nHost: x\r\n\r\n";
const char kJsonPost[] =
    "POST /p.html HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\nContent-Length: 0\r\n\r\n";
// The type of a reply that no envelope sets (an error line first, nothing at
// all) follows the request's body type.
const std::pair<const char*, const char*> kTypeByRequest[] = {{kGet, "text/html;charset=UTF-8"},
                                                              {kJsonPost, "text/plain;charset=UTF-8"}};

TEST_F(ReplyTest, EnvelopeHeadersAndCookiesApplyOnceBeforeTheFirstChunk) {
  Open(kGet);
  handler_.OnAppData(Envelope(R"({"headers":{"content-type":["application/pdf"],"X-Frame":[1],)"
                              R"("Content-Type":["text/x"],"X-Frame ":["dup"],"Bad":[],"X-Two":["a","b"]},)"
                              R"("cookies":{"sid":["abc",0,"/","",false,true],)"
                              R"("pref":["d",46372,"/app","example.org",true,"False"]},"content":""})"),
                     "<p>one</p>", true, false);
  handler_.OnAppData(Envelope(R"({"headers":{"X-Late":["no"]},"cookies":{},"content":""})"), "two", true, false);
  handler_.OnAppExit("");
  test::Wire w = Finish();
  EXPECT_EQ(w.header.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << w.header;
  EXPECT_TRUE(w.HasField("Server: OrvantPHP"));
  EXPECT_TRUE(w.HasField("Content-Type: application/pdf")) << w.header;
  EXPECT_TRUE(w.HasField("Content-Type: text/x")) << w.header;  // an extra line, not the reply's type
  EXPECT_TRUE(w.HasField("X-Frame: 1"));
  EXPECT_TRUE(w.HasField("X-Two: a"));
  EXPECT_TRUE(w.HasField("Set-Cookie: sid=abc; Path=/; HttpOnly")) << w.header;
  EXPECT_TRUE(w.HasField("Set-Cookie: pref=d; Expires=Wed, 16 Dec 2026 00:00:00 GMT; Path=/app; "
                         "Domain=example.org; Secure"))
      << w.header;
  EXPECT_TRUE(w.HasField("Transfer-Encoding: chunked"));
  EXPECT_EQ(w.header.find("X-Late"), std::string::npos);
  EXPECT_EQ(w.header.find("Bad"), std::string::npos);
  EXPECT_EQ(w.chunks, (std::vector<std::string>{"<p>one</p>", "two"}));
  EXPECT_TRUE(w.ended);
  EXPECT_TRUE(reply_->started && reply_->ended);
}

TEST_F(ReplyTest, EmptyHeadersSetNoServerAndItemsGetTheirComma) {
  Open(kGet);
  reply_->close = true;  // the server closes after this reply, and says so
  handler_.OnAppData(Envelope(R"({"headers":{},"cookies":{},"content":""})"), R"({"n":1})", true, true);
  handler_.OnAppData(Envelope(R"({"headers":{},"cookies":{},"content":""})"), R"({"n":2})", true, true);
  handler_.OnAppExit("");
  test::Wire w = Finish();
  EXPECT_EQ(w.header.find("Server:"), std::string::npos);
  EXPECT_TRUE(w.HasField("Connection: close")) << w.header;
  EXPECT_EQ(w.chunks, (std::vector<std::string>{R"({"n":1},)", R"({"n":2},)"}));
}

struct PlainCase {
  const char* headers;
  const char* contentType;
  const char* suffix;
};

TEST_F(ReplyTest, ContentTypeChoiceForPlainOutput) {
  const PlainCase cases[] = {
      {"", "text/html;charset=UTF-8", ""},
      {"Content-Type: application/json; charset=utf-8\r\nContent-Length: 0\r\n", "text/plain;charset=UTF-8", ""},
      {"X-Requested-With: XMLHttpRequest\r\nAccept: application/json\r\n", "text/json;charset=UTF-8", "\r\n"},
      {"x-requested-with: XMLHttpRequest\r\nAccept: application/json, text/javascript, */*; q=0.01\r\n",
       "text/json;charset=UTF-8", "\r\n"},
      {"X-Requested-With: XMLHttpRequest\r\nAccept: application/json,*/*\r\n", "text/html;charset=UTF-8", "\r\n"},
      {"X-Requested-With: XMLHttpRequest\r\nAccept: application/javascript\r\n",
       "application/javascript;charset=UTF-8", "\r\n"},
      {"X-Requested-With: XMLHttpRequest\r\n", "text/html;charset=UTF-8", "\r\n"},
      {"X-Requested-With: fetch\r\nAccept: application/json\r\n", "text/html;charset=UTF-8", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers);
    Open(std::string("GET /p.html HTTP/1.1\r\nHost: x\r\n") + c.headers + "\r\n");
    handler_.OnAppData(TJSON(), "a", false, false);
    handler_.OnAppData(TJSON(), "b", false, false);
    handler_.OnAppExit("");
    test::Wire w = Finish();
    EXPECT_TRUE(w.HasField(std::string("Content-Type: ") + c.contentType)) << w.header;
    EXPECT_EQ(w.chunks, (std::vector<std::string>{std::string("a") + c.suffix, std::string("b") + c.suffix}));
    raw_.clear();
  }
}

TEST_F(ReplyTest, ErrorLineBeforeOutputWritesTheHeaderAndLaterEnvelopeIsTooLate) {
  for (const auto& [request, contentType] : kTypeByRequest) {
    SCOPED_TRACE(request);
    Open(request);
    handler_.OnAppError("PHP Warning: x");
    handler_.OnAppData(Envelope(R"({"headers":{"content-type":["application/pdf"]},"cookies":{"a":["1",0,"/","",false,false]},"content":""})"),
                       "body", true, false);
    handler_.OnAppExit("");
    test::Wire w = Finish();
    EXPECT_TRUE(w.HasField(std::string("Content-Type: ") + contentType)) << w.header;
    EXPECT_EQ(w.header.find("pdf"), std::string::npos);
    EXPECT_EQ(w.header.find("Set-Cookie"), std::string::npos);
    EXPECT_EQ(w.chunks, (std::vector<std::string>{"ReqHand:- Process Error(RX):- PHP Warning: x\r\n", "body"}));
    EXPECT_TRUE(w.ended);
    raw_.clear();
  }
}

TEST_F(ReplyTest, NothingWrittenGivesAnEmptyChunkedReply) {
  for (const auto& [request, contentType] : kTypeByRequest) {
    SCOPED_TRACE(request);
    Open(request);
    handler_.OnAppExit("");
    test::Wire w = Finish();
    EXPECT_TRUE(w.HasField(std::string("Content-Type: ") + contentType)) << w.header;
    EXPECT_TRUE(w.chunks.empty());
    EXPECT_TRUE(w.ended);
    EXPECT_TRUE(w.rest.empty());
    raw_.clear();
  }
}

TEST_F(ReplyTest, BadCookieLosesThatOutputOnlyAndTheHeaderGoesWithTheNext) {
  Open(kGet);
  test::StdoutCapture out;
  handler_.OnAppData(Envelope(R"({"headers":{"X-A":["1"]},"cookies":{"c":["v",0,"/"]},"content":""})"), "lost",
                     true, false);
  handler_.OnAppData(Envelope(R"({"headers":{"X-B":["2"]},"cookies":{},"content":""})"), "second", true, false);
  handler_.OnAppExit("");
  std::string lines = out.Text();
  test::Wire w = Finish();
  EXPECT_EQ(lines, "Error: Error on Send Vexa Rx to Browser:- Cookie \"c\" needs an array of six elements\n");
  // X-A was set before the cookie failed; the later envelope is not applied.
  EXPECT_TRUE(w.HasField("X-A: 1")) << w.header;
  EXPECT_EQ(w.header.find("X-B"), std::string::npos) << w.header;
  EXPECT_EQ(w.chunks, (std::vector<std::string>{"second"}));
  EXPECT_TRUE(w.ended);
}

TEST_F(ReplyTest, HeadersAndCookiesThatCouldSplitTheHeaderAreSkipped) {
  Open(kGet);
  test::StdoutCapture out;
  handler_.OnAppData(Envelope(R"({"headers":{"X-B":["x\r\nSet-Cookie: evil=1"],"X-C":["ok"]},)"
                              R"("cookies":{"k":["v\nX-Evil: 1",0,"/","",false,false],"ok":["1",0,"","",false,false]},)"
                              R"("content":""})"),
                     "body", true, false);
  handler_.OnAppExit("");
  std::string lines = out.Text();
  test::Wire w = Finish();
  EXPECT_NE(lines.find("Header skipped"), std::string::npos) << lines;
  EXPECT_NE(lines.find("Cookie skipped"), std::string::npos) << lines;
  EXPECT_EQ(w.header.find("evil"), std::string::npos) << w.header;
  EXPECT_EQ(w.header.find("Evil"), std::string::npos) << w.header;
  EXPECT_TRUE(w.HasField("X-C: ok"));
  EXPECT_TRUE(w.HasField("Set-Cookie: ok=1"));
  EXPECT_EQ(w.chunks, (std::vector<std::string>{"body"}));
}

TEST_F(ReplyTest, ConcurrentOutputAndErrorLinesNeverInterleave) {
  Open(kGet);
  const std::string big(40000, 'x');
  std::thread out([&] {
    for (int i = 0; i < 200; ++i) handler_.OnAppData(TJSON(), "out" + std::to_string(i) + big, false, false);
  });
  std::thread err([&] {
    for (int i = 0; i < 200; ++i) handler_.OnAppError("err" + std::to_string(i));
  });
  out.join();
  err.join();
  handler_.OnAppExit("");
  test::Wire w = Finish();
  EXPECT_EQ(raw_.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);  // the header first
  EXPECT_EQ(raw_.find("HTTP/1.1", 1), std::string::npos);  // one header only
  // Reassemble: every output (split in 16384-byte chunks) and every error
  // line arrives whole and in its own order.
  std::string body = w.Body();
  std::size_t pos = 0;
  int nextOut = 0, nextErr = 0;
  while (pos < body.size()) {
    if (body.compare(pos, 3, "out") == 0) {
      std::string expect = "out" + std::to_string(nextOut++) + big;
      ASSERT_EQ(body.compare(pos, expect.size(), expect), 0) << "at " << pos;
      pos += expect.size();
    } else {
      std::string expect = "ReqHand:- Process Error(RX):- err" + std::to_string(nextErr++) + "\r\n";
      ASSERT_EQ(body.compare(pos, expect.size(), expect), 0) << "at " << pos;
      pos += expect.size();
    }
  }
  EXPECT_EQ(nextOut, 200);
  EXPECT_EQ(nextErr, 200);
  EXPECT_TRUE(w.ended);
}

TEST(SplitPage, RoutingWords) {
  auto check = [](const std::string& page, const char* c, const char* e, const char* p) {
    PageRoute r = TVexaRequestHandler::SplitPage(page);
    EXPECT_EQ(r.Ctrl, c) << page;
    EXPECT_EQ(r.Evt, e) << page;
    EXPECT_EQ(r.Evtp, p) << page;
  };
  check("/index", "index", "", "");
  check("/blog-view-1-2", "blog", "view", "12");
  check("/x--y", "x", "", "y");
  check("/x-", "x", "", "");
  check("/a/b-c", "a/b", "c", "");
  check("/-e", "", "e", "");
  check("", "", "", "");
}

TEST(CookieDates, DayCountsFrom1899) {
  EXPECT_EQ(TVexaRequestHandler::HttpDateOfDays(25569), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(TVexaRequestHandler::HttpDateOfDays(1), "Sun, 31 Dec 1899 00:00:00 GMT");
  EXPECT_EQ(TVexaRequestHandler::SetCookieValue("a", "b", 0, "", "", false, false), "a=b");
  EXPECT_EQ(TVexaRequestHandler::SetCookieValue("a", "", -1, "/", "", false, false),
            "a=; Expires=Fri, 29 Dec 1899 00:00:00 GMT; Path=/");
}

}  // namespace
}  // namespace vexa

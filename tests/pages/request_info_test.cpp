// The request description and the cookie document, built from requests that
// Beast parsed from raw bytes (so header spelling and order are the client's).

#include "server/http/request_info.hpp"

#include <gtest/gtest.h>

#include "core/globals.hpp"
#include "core/json.hpp"
#include "server/http/shared_routines.hpp"
#include "test_support.hpp"

namespace vexa {
namespace {

using test::ParseRequest;

JsonValue Decode(const std::string& hex) { return JsonValue::parse(HexToStr(hex)); }

std::vector<std::string> Keys(const JsonValue& obj) {
  std::vector<std::string> keys;
  for (auto it = obj.begin(); it != obj.end(); ++it) keys.push_back(it.key());
  return keys;
}

class RequestInfoTest : public ::testing::Test {
 protected:
  void SetUp() override { ProjPath = "/srv/apps/shop"; }
  void TearDown() override { ProjPath.clear(); }
};

TEST_F(RequestInfoTest, DescribesRequestWithHeadersAsSentAndInOrder) {
  auto req = ParseRequest(
      "GET /shop/list.html?page=2&x=%20 HTTP/1.1\r\n"
      "Host: localhost:8000\r\n"
      "user-AGENT:   tester  \r\n"
      "Content-Type: text/plain\r\n"
      "X-A: one\r\n"
      "X_A: two\r\n"
      "\r\n");
  JsonValue d = Decode(BuildServerInfo(req, "127.0.0.1", false));
  EXPECT_EQ(Keys(d), (std::vector<std::string>{"Method", "URL", "Server", "Header"}));
  EXPECT_EQ(d["Method"], "GET");
  EXPECT_EQ(d["URL"], "http://localhost:8000?page=2&x=%20");
  const JsonValue& s = d["Server"];
  EXPECT_EQ(Keys(s), (std::vector<std::string>{"HTTP_Host", "HTTP_user_AGENT", "HTTP_Content_Type", "HTTP_X_A",
                                                "HTTPS", "REMOTE_ADDR", "REMOTE_PORT", "HTTP_HOST", "PHP_SELF",
                                                "SCRIPT_NAME", "SCRIPT_FILENAME"}));
  EXPECT_EQ(s["HTTP_user_AGENT"], "tester");
  EXPECT_EQ(s["HTTP_X_A"], "two");  // X-A and X_A meet in one member; the later value wins
  EXPECT_EQ(s["HTTPS"], "0");
  EXPECT_EQ(s["REMOTE_ADDR"], "127.0.0.1");
  EXPECT_EQ(s["REMOTE_PORT"], "");
  EXPECT_EQ(s["HTTP_HOST"], "localhost:8000");
  EXPECT_EQ(s["PHP_SELF"], "/shop/list.html");
  EXPECT_EQ(s["SCRIPT_NAME"], "/srv/apps/shop/start.php");
  EXPECT_EQ(s["SCRIPT_FILENAME"], "/srv/apps/shop/start.php");
  EXPECT_EQ(d["Header"], JsonValue::object({{"vexa", "4"}}));
  // Every value is a JSON string.
  for (auto& [k, v] : s.items()) EXPECT_TRUE(v.is_string()) << k;
}

TEST_F(RequestInfoTest, HostNotSpelledExactlyFailsWithConsoleLine) {
  for (const char* raw : {"GET / HTTP/1.1\r\nhost: localhost\r\n\r\n", "GET / HTTP/1.0\r\n\r\n"}) {
    test::StdoutCapture out;
    std::string idata = BuildServerInfo(ParseRequest(raw), "127.0.0.1", false);
    EXPECT_EQ(idata, "");
    EXPECT_EQ(out.Text(), "Error: Error:- Cant create Vexa Info Data. JSON Key not found.\n");
  }
}

TEST(RequestParts, PathQueryAndContentType) {
  auto req = ParseRequest(
      "POST /img/a%20b.html?v=2?w HTTP/1.1\r\nHost: x\r\n"
      "Content-Type: multipart/form-data; charset=UTF-8; boundary=XYZ\r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(RequestPath(req), "/img/a%20b.html");
  EXPECT_EQ(RequestQuery(req), "v=2?w");
  EXPECT_EQ(RequestContentType(req), "multipart/form-data; boundary=XYZ");
  auto form = ParseRequest(
      "POST / HTTP/1.1\r\nHost: x\r\nContent-Type: application/x-www-form-urlencoded;Charset=utf-8\r\n"
      "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(RequestContentType(form), "application/x-www-form-urlencoded");
  EXPECT_EQ(RequestContentType(ParseRequest("GET / HTTP/1.1\r\nHost: x\r\n\r\n")), "");
}

TEST(Cookies, InOrderFromEveryCookieLine) {
  auto req = ParseRequest(
      "GET / HTTP/1.1\r\nHost: x\r\nCookie: a=1; b=2\r\ncookie: c=\"q v\";a=3; =bad; flag\r\n\r\n");
  JsonValue d = Decode(CookiesToJSON(req));
  EXPECT_EQ(WriteJSON(d), R"({ "a" : "3", "b" : "2", "c" : "q v", "flag" : "" })");
}

TEST(Cookies, AddedAfterTheCallersMembers) {
  auto req = ParseRequest("GET / HTTP/1.1\r\nHost: x\r\nCookie: sid=abc; wcon=mine\r\n\r\n");
  TJSON doc;
  doc.Current()["wcon"] = "7";
  doc.Current()["wconn"] = "1";
  std::string hex = CookiesToJSON(req, &doc);
  EXPECT_EQ(HexToStr(hex), R"({ "wcon" : "mine", "wconn" : "1", "sid" : "abc" })");
  EXPECT_EQ(doc.GetJSON(), HexToStr(hex));  // the caller's document holds them too
  EXPECT_EQ(HexToStr(CookiesToJSON(ParseRequest("GET / HTTP/1.1\r\nHost: x\r\n\r\n"))), "{}");
}

TEST(EnvEntry, LimitCountsNameEqualsValueAndNul) {
  std::string value(kMaxEnvEntry - 7, 'A');  // "idata=" (6) + value + NUL = limit
  EXPECT_TRUE(FitsEnvEntry("idata", value));
  value.push_back('A');
  EXPECT_FALSE(FitsEnvEntry("idata", value));
}

}  // namespace
}  // namespace vexa

// The pure parts of the listener and the request road: the TLS sniff, the
// mapping from request path to local file, the PHP literal escaping and the
// chunk encoding.

#include "server/http/chunked_writer.hpp"
#include "server/http/https_server.hpp"
#include "server/http/request_handler.hpp"

#include "core/globals.hpp"
#include "core/json.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace vexa {
namespace {

bool Sniff(std::vector<unsigned char> b) { return IsTLSClientHelloBytes(b.data(), b.size()); }

TEST(TlsSniff, RecognisesHelloFormsAndNeverPlainRequests) {
  // TLS records of type handshake, any minor version.
  EXPECT_TRUE(Sniff({0x16, 0x03, 0x01, 0x02, 0x00, 0x01}));
  EXPECT_TRUE(Sniff({0x16, 0x03, 0x03}));
  // SSLv2-style client hello, two-byte header: length > 9, type 1 in b2.
  EXPECT_TRUE(Sniff({0x80, 0x2e, 0x01, 0x00, 0x02, 0x00}));
  EXPECT_FALSE(Sniff({0x80, 0x09, 0x01, 0x00, 0x02, 0x00}));  // length 9 is too short
  EXPECT_FALSE(Sniff({0x80, 0x2e, 0x02, 0x00, 0x02, 0x00}));  // not a client hello
  // Three-byte header: length from the low six bits, type in b3.
  EXPECT_TRUE(Sniff({0x00, 0x2e, 0x00, 0x01, 0x03, 0x00}));
  EXPECT_FALSE(Sniff({0x40, 0x00, 0x00, 0x01}));  // bits 6 masked: length 0
  EXPECT_FALSE(Sniff({0x00, 0x2e, 0x00}));        // no type byte yet
  // Too few bytes.
  EXPECT_FALSE(Sniff({}));
  EXPECT_FALSE(Sniff({0x16, 0x03}));
  // Plain requests.
  for (const char* m : {"GET / ", "POST /", "PUT / ", "HEAD /", "DELETE", "OPTIONS"}) {
    std::string s(m);
    EXPECT_FALSE(Sniff(std::vector<unsigned char>(s.begin(), s.end()))) << m;
  }
}

class RoadPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    savedSettings_ = Settings;
    savedProj_ = ProjPath;
    savedDefault_ = PhpAppTypeIsDefault;
    settings_ = TJSON::CreateFromText(R"({"orvantphppath":"/fw/orvant","php":"php","secure":0})");
    Settings = &settings_;
    ProjPath = "/home/u/proj";
    PhpAppTypeIsDefault = true;
  }
  void TearDown() override {
    Settings = savedSettings_;
    ProjPath = savedProj_;
    PhpAppTypeIsDefault = savedDefault_;
  }
  TJSON settings_;
  TJSON* savedSettings_;
  std::string savedProj_;
  bool savedDefault_;
};

TEST_F(RoadPaths, TargetAndExtension) {
  EXPECT_EQ(TargetPath("/img/x.png?v=2"), "/img/x.png");
  EXPECT_EQ(TargetPath("/img/a%20b.png"), "/img/a%20b.png");  // no decoding
  EXPECT_EQ(PathExtension("/a/b.tar.gz"), "gz");
  EXPECT_EQ(PathExtension("/page.HTML"), "HTML");  // case kept
  EXPECT_EQ(PathExtension("/dir.d/file"), "");     // dot of a folder does not count
  EXPECT_EQ(PathExtension("/~furl/C:x.css"), "css");
}

TEST_F(RoadPaths, LocalFileMapping) {
  EXPECT_EQ(MapLocalPath("/css/a.css"), "/home/u/proj/css/a.css");
  EXPECT_EQ(MapLocalPath("/~rs/js/app.js"), "/fw/orvant/js/app.js");
  EXPECT_EQ(MapLocalPath("/any/prefix~rs/js/app.js"), "/fw/orvant/js/app.js");
  EXPECT_EQ(MapLocalPath("/~furl//tmp/a.txt"), "/tmp/a.txt");
  EXPECT_EQ(MapLocalPath("/~furl/C:/tmp/a.txt"), "C:/tmp/a.txt");
  PhpAppTypeIsDefault = false;  // a start script was named: the bare path
  EXPECT_EQ(MapLocalPath("/css/a.css"), "/css/a.css");
}

TEST_F(RoadPaths, SecureSettingReadsNumberOrText) {
  EXPECT_FALSE(SecureRequired());
  for (const char* v : {R"({"secure":1})", R"({"secure":"1"})", R"({"secure":1.0})"}) {
    settings_ = TJSON::CreateFromText(v);
    EXPECT_TRUE(SecureRequired()) << v;
  }
  for (const char* v : {R"({"secure":"yes"})", R"({"secure":true})", R"({"secure":"1x"})", "{}"}) {
    settings_ = TJSON::CreateFromText(v);
    EXPECT_FALSE(SecureRequired()) << v;
  }
}

TEST(PharCommand, PathCannotLeaveTheLiteral) {
  EXPECT_EQ(EscapePhpSingleQuoted(R"(a'b\c)"), R"(a\'b\\c)");
  const std::string evil = R"(/p/x.phar/a\';system('id');//)";
  const std::string code = PharOneLiner(evil);
  // Inside the literal every quote is preceded by an odd run of backslashes.
  const size_t start = code.find('\'') + 1;
  size_t i = start;
  for (; i < code.size(); ++i) {
    if (code[i] == '\\') {
      ++i;  // escaped character
      continue;
    }
    if (code[i] == '\'') break;
  }
  EXPECT_EQ(code.substr(start, i - start), "phar://" + EscapePhpSingleQuoted(evil));
  EXPECT_EQ(code.substr(i), "';if(!is_file($f))exit(4);readfile($f);");
}

TEST(ChunkEncoding, SizesAndBoundaries) {
  EXPECT_EQ(EncodeChunks(""), "");
  EXPECT_EQ(EncodeChunks(std::string(10, 'x')), "A\r\n" + std::string(10, 'x') + "\r\n");
  std::string one = EncodeChunks(std::string(16384, 'y'));
  EXPECT_EQ(one.substr(0, 6), "4000\r\n");
  EXPECT_EQ(one.size(), 6 + 16384 + 2u);
  std::string two = EncodeChunks(std::string(16385, 'y'));
  EXPECT_EQ(two.substr(6 + 16384 + 2), "1\r\ny\r\n");
  std::string big = EncodeChunks(std::string(40000, 'z'));
  EXPECT_EQ(big.substr(6 + 16384 + 2, 6), "4000\r\n");
  EXPECT_EQ(big.substr(2 * (6 + 16384 + 2), 6), "1C40\r\n");
  EXPECT_EQ(big.size(), 2 * (6 + 16384 + 2) + 6 + 7232 + 2u);
}

TEST(ChunkedWriter, WholeReplyOnTheWire) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  TConnection c(sv[0], "127.0.0.1");
  HttpReply reply;
  reply.response.set(http::field::content_type, "text/html");
  reply.response.set(http::field::content_length, "99");  // a stale length is dropped
  StartChunked(c, reply);
  EXPECT_TRUE(reply.started);
  SendChunkText(c, "");  // nothing at all
  SendChunkText(c, "hello");
  std::string big(20000, 'b');
  WriteChunked(c, big.data(), big.size());
  EndChunked(c, reply);
  EXPECT_TRUE(reply.ended);
  c.Shutdown();

  std::string wire;
  char buf[65536];
  for (ssize_t n; (n = ::recv(sv[1], buf, sizeof buf, 0)) > 0;) wire.append(buf, n);
  ::close(sv[1]);
  const size_t body = wire.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos);
  const std::string head = wire.substr(0, body + 4);
  EXPECT_EQ(head.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(head.find("Transfer-Encoding: chunked\r\n"), std::string::npos);
  EXPECT_NE(head.find("Connection: keep-alive\r\n"), std::string::npos);
  EXPECT_EQ(head.find("Content-Length"), std::string::npos);
  EXPECT_EQ(wire.substr(body + 4), EncodeChunks("hello") + EncodeChunks(big) + "0\r\n\r\n");
}

}  // namespace
}  // namespace vexa

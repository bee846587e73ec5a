// The pure parts of the listener and the request road: the TLS sniff, the
// Host and Origin checks, the chunk framing check, the mapping from request
// path to local file and who may read it, the PHP literal escaping and the
// chunk encoding.

#include "server/http/chunk_checker.hpp"
#include "server/http/chunked_writer.hpp"
#include "server/http/https_server.hpp"
#include "server/http/request_checks.hpp"
#include "server/http/request_handler.hpp"

#include "core/globals.hpp"
#include "core/json.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstdio>
#include <vector>
#include <thread>
#include <future>

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

// The globals that the road reads, as they were when the guard was made;
// given back when it goes, also after a failed ASSERT.
class RoadGlobalsGuard {
 public:
  RoadGlobalsGuard() = default;
  RoadGlobalsGuard(const RoadGlobalsGuard&) = delete;
  RoadGlobalsGuard& operator=(const RoadGlobalsGuard&) = delete;
  ~RoadGlobalsGuard() {
    Settings = settings_;
    ProjPath = projPath_;
    ProjDir = projDir_;
    PhpAppTypeIsDefault = isDefault_;
  }

 private:
  TJSON* const settings_ = Settings;
  const std::string projPath_ = ProjPath;
  const std::string projDir_ = ProjDir;
  const bool isDefault_ = PhpAppTypeIsDefault;
};

class RoadPaths : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_ = TJSON::CreateFromText(R"({"orvantphppath":"/fw/orvant","php":"php","secure":0})");
    Settings = &settings_;
    ProjPath = "/home/u/proj";
    PhpAppTypeIsDefault = true;
  }
  TJSON settings_;
  RoadGlobalsGuard saved_;  // made before SetUp, and gone before settings_
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
  bool any = false;
  MapLocalPath("/css/a.css", &any);
  EXPECT_TRUE(any);
  MapLocalPath("/~rs/a.css", &any);
  EXPECT_FALSE(any);
  PhpAppTypeIsDefault = true;
  MapLocalPath("/css/a.css", &any);
  EXPECT_FALSE(any);
  MapLocalPath("/x/~furl//etc/hostname", &any);
  EXPECT_TRUE(any);
}

TEST(RequestChecks, HostFieldsAndOrigins) {
  auto hp = ParseHostAndPort("LocalHost:8080");
  ASSERT_TRUE(hp);
  EXPECT_EQ(hp->host, "localhost");
  EXPECT_EQ(hp->port, 8080);
  hp = ParseHostAndPort("[::1]");
  ASSERT_TRUE(hp);
  EXPECT_EQ(hp->host, "[::1]");
  EXPECT_FALSE(hp->port);
  for (const char* bad : {"", ":80", "a b", "u@h", "h:80/x", "h:65536", "h:8a", "[::1", "[zz]:1", "h:123456"})
    EXPECT_FALSE(ParseHostAndPort(bad)) << bad;

  for (const char* local : {"127.0.0.1", "127.255.0.9:1", "localhost", "LOCALHOST:9", "[::1]:80", "[0:0::1]"})
    EXPECT_TRUE(IsLoopbackHostField(local)) << local;
  for (const char* other : {"128.0.0.1", "localhost.example", "127.0.0.1.example", "[::2]", "0.0.0.0", "",
                            "127.1", "127.0.0.1 "})
    EXPECT_FALSE(IsLoopbackHostField(other)) << other;

  EXPECT_TRUE(IsOwnOrigin("http://127.0.0.1:8000", "127.0.0.1:8000", false));
  EXPECT_TRUE(IsOwnOrigin("HTTP://LocalHost", "localhost:80", false));  // default port either side
  EXPECT_TRUE(IsOwnOrigin("https://localhost:443", "localhost", true));
  EXPECT_FALSE(IsOwnOrigin("http://127.0.0.1:8000", "127.0.0.1:8000", true));  // scheme of the connection
  EXPECT_FALSE(IsOwnOrigin("https://127.0.0.1:8000", "127.0.0.1:8000", false));
  EXPECT_FALSE(IsOwnOrigin("http://localhost:8000", "127.0.0.1:8000", false));
  EXPECT_FALSE(IsOwnOrigin("http://127.0.0.1:8001", "127.0.0.1:8000", false));
  EXPECT_FALSE(IsOwnOrigin("http://127.0.0.1", "127.0.0.1:8000", false));
  for (const char* bad : {"null", "", "http://", "127.0.0.1:8000", "http://127.0.0.1:8000/", "ws://127.0.0.1:8000"})
    EXPECT_FALSE(IsOwnOrigin(bad, "127.0.0.1:8000", false)) << bad;
  EXPECT_FALSE(IsOwnOrigin("http://127.0.0.1:8000", "", false));  // no Host to compare with

  // "null" is the server's own only when the browser marks the fetch same-origin.
  EXPECT_TRUE(IsOwnOriginRequest("null", "127.0.0.1:8000", false, "same-origin"));
  for (const char* site : {"", "same-site", "cross-site", "none", "Same-Origin", "same-origin "})
    EXPECT_FALSE(IsOwnOriginRequest("null", "127.0.0.1:8000", false, site)) << site;
  EXPECT_TRUE(IsOwnOriginRequest("http://127.0.0.1:8000", "127.0.0.1:8000", false, ""));
  EXPECT_FALSE(IsOwnOriginRequest("http://evil.example", "127.0.0.1:8000", false, "same-origin"));

  // Any local file: not for a page of another site or port.
  EXPECT_TRUE(IsLocalFileFetchAllowed(std::nullopt));
  EXPECT_TRUE(IsLocalFileFetchAllowed("same-origin"));
  EXPECT_TRUE(IsLocalFileFetchAllowed("none"));
  for (const char* site : {"same-site", "cross-site", "", "whatever"})
    EXPECT_FALSE(IsLocalFileFetchAllowed(site)) << site;

  for (const char* up : {"/..", "/../x", "/a/../b", "/a/..", "/%2e%2e/x", "/.%2E/x", "/a/..%2fb", "..%2F"})
    EXPECT_TRUE(HasDotDotSegment(up)) << up;
  for (const char* fine : {"/", "/a..b", "/...", "/.a/b.", "/a/%2e/b", "/%2e%2e%2e", "/a%2"})
    EXPECT_FALSE(HasDotDotSegment(fine)) << fine;
}

// The Host rule goes by the client's address, not by the listener's: a
// client on this machine (a page of another site whose DNS name points at
// 127.0.0.1 among them) must name the machine; one on another address, which
// only a listener on a LAN address or 0.0.0.0 meets, may name anything.
TEST(RequestChecks, HostRuleByPeer) {
  const LocalHostNames names{"myhost.lan", "workbox"};
  for (const char* peer : {"127.0.0.1", "127.4.5.6"}) {
    for (const char* own : {"127.0.0.1:80", "localhost", "[::1]:9", "myhost.lan:8000", "WorkBox:1", "workbox"})
      EXPECT_TRUE(IsHostAllowed(peer, own, names)) << peer << " " << own;
    for (const char* other : {"rebind.example:80", "workbox.evil.example", "myhost.lan.example", "10.0.0.1",
                              "0.0.0.0", "", "work box"})
      EXPECT_FALSE(IsHostAllowed(peer, other, names)) << peer << " " << other;
  }
  for (const char* peer : {"192.168.1.20", "10.0.0.7"})
    for (const char* any : {"rebind.example:80", "192.168.1.5:8000", "127.0.0.1", ""})
      EXPECT_TRUE(IsHostAllowed(peer, any, names)) << peer << " " << any;
  // No configured or machine name: an empty Host names neither.
  EXPECT_FALSE(IsHostAllowed("127.0.0.1", "", LocalHostNames{}));
  EXPECT_TRUE(IsHostAllowed("127.0.0.1", "localhost:1", LocalHostNames{}));
}

// The Host rule goes by place: a peer on one of this machine's own
// addresses (the one it connected to, or any interface's, also written as
// an IPv4-mapped IPv6 address) is held to it like a loopback peer; it may
// also name the address it connected to.
TEST(RequestChecks, HostRuleHoldsForThisMachinesOwnAddresses) {
  const LocalHostNames names{"0.0.0.0", "workbox"};
  const OwnAddresses own{"192.168.1.5", {"127.0.0.1", "192.168.1.5", "10.8.0.2", "fe80::1", "2001:db8::5"}};
  EXPECT_EQ(CanonicalAddress("::ffff:192.168.1.5"), "192.168.1.5");
  EXPECT_EQ(CanonicalAddress("[2001:DB8:0::5]"), "2001:db8::5");
  EXPECT_EQ(CanonicalAddress("192.168.1.5:80"), std::nullopt);
  for (const char* peer : {"192.168.1.5", "::ffff:192.168.1.5", "10.8.0.2", "::ffff:10.8.0.2", "2001:db8::5",
                           "::1", "::ffff:127.0.0.1"}) {
    EXPECT_TRUE(IsThisMachinePeer(peer, own)) << peer;
    for (const char* foreign : {"evil.example", "evil.example:8000", "10.0.0.1", "192.168.1.6:80", "[::2]"})
      EXPECT_FALSE(IsHostAllowed(peer, foreign, names, own)) << peer << " " << foreign;
    for (const char* fine : {"localhost:8000", "127.0.0.1", "workbox:1", "192.168.1.5:8000", "[::ffff:192.168.1.5]"})
      EXPECT_TRUE(IsHostAllowed(peer, fine, names, own)) << peer << " " << fine;
  }
  // Peers on other machines keep any Host, also when the rule knows the
  // machine's addresses.
  for (const char* peer : {"192.168.1.20", "::ffff:192.168.1.20", "2001:db8::6", "fe80::2"}) {
    EXPECT_FALSE(IsThisMachinePeer(peer, own)) << peer;
    EXPECT_TRUE(IsHostAllowed(peer, "evil.example", names, own)) << peer;
  }
  // A listening socket's own address is found.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_EQ(OwnAddressesOf(sv[0]).local, "");  // not an IP socket: no address of its own
  ::close(sv[0]);
  ::close(sv[1]);
  const OwnAddresses machine = OwnAddressesOf(-1);
  EXPECT_NE(std::find(machine.machine.begin(), machine.machine.end(), "127.0.0.1"), machine.machine.end());
}

// Feeds `body` to a checker in pieces of `step` bytes.
TChunkChecker Checked(const std::string& body, size_t step) {
  TChunkChecker c;
  for (size_t i = 0; i < body.size(); i += step) c.Feed(body.data() + i, std::min(step, body.size() - i));
  return c;
}

TEST(ChunkChecker, FollowsFramingAcrossReadsAndStopsAtItsEnd) {
  const std::string good = "5\r\nhe\nlo\r\nA;name=\"v\"\r\n0123456789\r\n0\r\nX-T: 1\r\n\r\nGARBAGE\n";
  for (size_t step : {1u, 2u, 7u, 1000u}) {
    TChunkChecker c = Checked(good, step);
    EXPECT_TRUE(c.Done()) << step;
    EXPECT_FALSE(c.Broken()) << step;
  }
  EXPECT_FALSE(Checked("5\r\nhel", 1).Done());  // more to come, nothing wrong yet
  EXPECT_FALSE(Checked("5\r\nhel", 1).Broken());
  for (const std::string bad : {"5\nhello\r\n", "5\r\nhello\n0\r\n\r\n", "5\r\nhelloX", "5\rX", "\r\n",
                                 "g\r\n", ";x\r\n", "5 \n", "5;a\x01\r\n", "0\r\nX: y\n", "0\r\n\n",
                                 "0\r\n\rX", "10000000000000000\r\n"}) {
    EXPECT_TRUE(Checked(bad, 1).Broken()) << bad;
    EXPECT_TRUE(Checked(bad, 100).Broken()) << bad;
  }
  EXPECT_FALSE(Checked("ffffffffffffffff\r\n", 3).Broken());  // the largest size that fits
  EXPECT_TRUE(Checked("5;" + std::string(TChunkChecker::kMaxSizeLine, 'e'), 512).Broken());
  EXPECT_TRUE(Checked("0\r\n" + std::string(TChunkChecker::kMaxTrailer + 1, 't'), 4096).Broken());
}

TEST_F(RoadPaths, AnyLocalFileOnlyToThisMachineAndNoClimbingOut) {
  // The project and framework folders hold files the road serves to anyone;
  // the rest of the file system is reached through "~furl/" by this
  // machine's own clients only.
  char tmpl[] = "/tmp/vexa-roads-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  ASSERT_EQ(::mkdir((root + "/proj").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((root + "/fw").c_str(), 0700), 0);
  auto write = [](const std::string& name, const std::string& text) {
    FILE* f = std::fopen(name.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
  };
  write(root + "/proj/p.txt", "project");
  write(root + "/fw/f.js", "framework");
  write(root + "/outside.txt", "outside");
  ProjPath = root + "/proj";
  settings_ = TJSON::CreateFromText(R"({"orvantphppath":")" + root + R"(/fw","php":"php","secure":0})");

  auto status = [](const std::string& peer, const std::string& target) {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    TConnection c(sv[0], peer);
    HttpRequest request{http::verb::get, target, 11};
    HttpReply reply;
    TRequestHandler().HandleRequest(c, request, reply, false);
    reply.file.Close();
    ::close(sv[1]);
    return reply.response.result_int();
  };
  const std::string far = "/~furl/" + root + "/outside.txt";
  for (const char* peer : {"127.0.0.1", "127.3.2.1", "192.0.2.7"}) {
    const bool local = std::string(peer).rfind("127.", 0) == 0;
    EXPECT_EQ(status(peer, "/p.txt"), 200) << peer;
    EXPECT_EQ(status(peer, "/~rs/f.js"), 200) << peer;
    EXPECT_EQ(status(peer, far), local ? 200 : 404) << peer;
    EXPECT_EQ(status(peer, "/~furl/" + root + "/proj/../outside.txt"), local ? 200 : 404) << peer;
    EXPECT_EQ(status(peer, "/../outside.txt"), 404) << peer;
    EXPECT_EQ(status(peer, "/~rs/../outside.txt"), 404) << peer;
    EXPECT_EQ(status(peer, "/~rs/../proj/p.txt"), 404) << peer;
    EXPECT_EQ(status(peer, "/%2e%2e/outside.txt"), 404) << peer;
  }
  // A named start script serves the bare path, any local file: also only
  // to this machine's clients.
  PhpAppTypeIsDefault = false;
  EXPECT_EQ(status("127.0.0.1", root + "/outside.txt"), 200);
  EXPECT_EQ(status("192.0.2.7", root + "/outside.txt"), 404);
  EXPECT_EQ(status("192.0.2.7", "/~rs/f.js"), 200);
  std::remove((root + "/proj/p.txt").c_str());
  std::remove((root + "/fw/f.js").c_str());
  std::remove((root + "/outside.txt").c_str());
  ::rmdir((root + "/proj").c_str());
  ::rmdir((root + "/fw").c_str());
  ::rmdir(root.c_str());
}

TEST_F(RoadPaths, UploadedFilesAreSandboxedHoweverThePathReachesThem) {
  // A file in the upload folder never runs as the server's own page, by
  // whatever spelling, link or road the request reaches it; other files
  // carry no such policy.
  char tmpl[] = "/tmp/vexa-uploads-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string root = tmpl, proj = root + "/proj";
  ASSERT_EQ(::mkdir(proj.c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((proj + "/cache").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((proj + "/cachex").c_str(), 0700), 0);
  for (const char* name : {"/cache/evil.htm", "/cachex/ok.htm", "/p.htm"}) {
    FILE* f = std::fopen((proj + name).c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("<script>1</script>", f);
    std::fclose(f);
  }
  ASSERT_EQ(::symlink((proj + "/cache").c_str(), (proj + "/linked").c_str()), 0);
  ASSERT_EQ(::symlink((proj + "/cache/evil.htm").c_str(), (proj + "/l.htm").c_str()), 0);
  ProjPath = ProjDir = proj;
  auto policy = [](const std::string& target) {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    TConnection c(sv[0], "127.0.0.1");
    HttpRequest request{http::verb::get, target, 11};
    HttpReply reply;
    TRequestHandler().HandleRequest(c, request, reply, false);
    EXPECT_TRUE(reply.file.is_open()) << target;
    reply.file.Close();
    ::close(sv[1]);
    return std::string(reply.response["Content-Security-Policy"]);
  };
  for (const std::string& target : std::vector<std::string>{"/cache/evil.htm", "//cache/evil.htm", "/./cache/evil.htm", "/cache//evil.htm",
                                   "/linked/evil.htm", "/l.htm", "/~furl/" + proj + "/cache/evil.htm",
                                   "/x/~furl/" + proj + "/./cache/evil.htm?q"})
    EXPECT_EQ(policy(target), "sandbox") << target;
  for (const std::string& target : std::vector<std::string>{"/p.htm", "/cachex/ok.htm", "/~furl/" + proj + "/p.htm"})
    EXPECT_EQ(policy(target), "") << target;
  std::filesystem::remove_all(root);
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

TEST_F(RoadPaths, StaticFileRoadServesRegularFilesOnlyAndAFifoHoldsNoThread) {
  char tmpl[] = "/tmp/vexa-static-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string root = tmpl;
  ProjPath = root;
  {
    FILE* f = std::fopen((root + "/a.txt").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs("12345", f);
    std::fclose(f);
  }
  ASSERT_EQ(::mkdir((root + "/dir").c_str(), 0700), 0);
  ASSERT_EQ(::mkfifo((root + "/f.txt").c_str(), 0600), 0);

  auto ask = [](const std::string& target, uint64_t* size = nullptr) {
    int sv[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    TConnection c(sv[0], "127.0.0.1");
    HttpRequest request{http::verb::get, target, 11};
    HttpReply reply;
    TRequestHandler().HandleRequest(c, request, reply, false);
    if (size) *size = reply.file.is_open() ? reply.file.size : 0;
    reply.file.Close();
    ::close(sv[1]);
    return reply.response.result_int();
  };
  uint64_t size = 0;
  EXPECT_EQ(ask("/a.txt", &size), 200);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(ask("/dir"), 404);
  // A FIFO with no writer: an open that waits for one would hold this
  // thread for good. The bound only ends such a wait, by opening the writer.
  std::promise<int> done;
  auto status = done.get_future();
  std::thread asker([&] { done.set_value(ask("/f.txt")); });
  if (status.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the request for a FIFO waits for a writer";
    int w = -1;
    while (status.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready &&
           (w = ::open((root + "/f.txt").c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
    }
    if (w >= 0) ::close(w);
  }
  asker.join();
  EXPECT_EQ(status.get(), 404);
  std::remove((root + "/a.txt").c_str());
  std::remove((root + "/f.txt").c_str());
  ::rmdir((root + "/dir").c_str());
  ::rmdir(root.c_str());
}

}  // namespace
}  // namespace vexa

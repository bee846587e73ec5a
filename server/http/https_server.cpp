#include "server/http/https_server.hpp"

#include <dlfcn.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <openssl/crypto.h>
#include <openssl/err.h>

#include <boost/asio/ip/address_v4.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/core/demangle.hpp>

#include <cstdlib>
#include <limits>
#include <stdexcept>
#include <typeinfo>
#include <vector>

#include "core/globals.hpp"
#include "core/json.hpp"
#include "server/http/arriving_body.hpp"
#include "server/http/chunk_checker.hpp"
#include "core/min_data_rate.hpp"
#include "server/http/request_checks.hpp"
#include "server/http/request_handler.hpp"
#include "server/http/request_info.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa {

using boost::asio::ip::tcp;

namespace {

std::string SslErrorText() {
  unsigned long e = ERR_get_error();
  ERR_clear_error();
  if (e == 0) return "unknown TLS error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  return buf;
}

// "Connection" says what the server does after the reply: "close" whenever it
// closes, also to an HTTP/1.0 client.
void SetConnectionField(HttpResponse& res, bool keepAlive) {
  res.keep_alive(keepAlive);
  if (!keepAlive) res.set(http::field::connection, "close");
}

// Brings the request target to origin form ("/path?query"): an absolute-form
// target ("http://host:port/path?query") is rewritten and its authority
// becomes the request's Host; "*" stays for OPTIONS. False for any other
// target: the road would glue it to the project folder's path without a
// separator.
bool ToOriginForm(HttpRequestHeader& request) {
  const std::string_view target = request.target();
  if (!target.empty() && target.front() == '/') return true;
  if (target == "*") return request.method() == http::verb::options;
  size_t start = 0;
  if (boost::beast::iequals(target.substr(0, 7), "http://"))
    start = 7;
  else if (boost::beast::iequals(target.substr(0, 8), "https://"))
    start = 8;
  else
    return false;
  const size_t end = std::min(target.find_first_of("/?#", start), target.size());
  const std::string authority(target.substr(start, end - start));
  std::string path(target.substr(end));
  if (path.empty() || path[0] != '/') path.insert(0, "/");
  request.target(path);
  request.set(http::field::host, authority);
  return true;
}

// A short reply sent by the listener itself.
void SendStatus(TConnection& connection, http::status status, unsigned version, bool keepAlive,
                const std::string& text, const char* allow = nullptr) {
  HttpResponse res{status, version};
  res.set(http::field::content_type, "text/plain; charset=utf-8");
  if (allow) res.set(http::field::allow, allow);
  res.body() = text;
  SetConnectionField(res, keepAlive);
  res.prepare_payload();
  http::write(connection, res);
}

// The status line and fields of a reply, as they go on the wire.
std::string HeaderText(const HttpResponse& res) {
  std::string out;
  out.reserve(256);
  out += res.version() == 10 ? "HTTP/1.0 " : "HTTP/1.1 ";
  out += std::to_string(res.result_int());
  out += ' ';
  out += res.reason().empty() ? http::obsolete_reason(res.result()) : res.reason();
  out += "\r\n";
  for (const auto& f : res) {
    out += f.name_string();
    out += ": ";
    out += f.value();
    out += "\r\n";
  }
  out += "\r\n";
  return out;
}

// A file reply: small files go out with their header in one write, larger
// ones in pieces of kFilePiece bytes.
constexpr size_t kFilePiece = 64 * 1024;

void SendFileReply(TConnection& connection, HttpReply& reply) {
  auto& res = reply.response;
  res.content_length(reply.file.size);
  const std::string header = HeaderText(res);
  thread_local std::vector<char> piece(kFilePiece);
  uint64_t offset = 0;
  bool headerSent = false;
  do {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(reply.file.size - offset, kFilePiece));
    size_t got = 0;
    while (got < want) {
      ssize_t n = ::pread(reply.file.fd, piece.data() + got, want - got, static_cast<off_t>(offset + got));
      if (n < 0 && errno == EINTR) continue;
      // A file that shrank or fails midway cannot keep its announced length.
      if (n <= 0) throw std::runtime_error("file read failed");
      got += static_cast<size_t>(n);
    }
    boost::asio::const_buffer pieces[2] = {{header.data(), header.size()}, {piece.data(), got}};
    if (headerSent)
      connection.Write(std::span<const boost::asio::const_buffer>(pieces + 1, 1));
    else
      connection.Write(std::span<const boost::asio::const_buffer>(pieces, got ? 2 : 1));
    headerSent = true;
    offset += got;
  } while (offset < reply.file.size);
  reply.file.Close();
}

// The connection as the body parser reads it: every read waits no longer
// than the progress rule allows and reports what it brought, and every byte
// of a chunked body also goes through the chunk checker, so that broken
// framing ends the read at once.
struct CheckedBodyStream {
  TConnection& connection;
  TChunkChecker* checker;  // none for a body of announced length
  TMinDataRate& rate;
  std::chrono::milliseconds perRead;
  bool tooSlow = false;  // the progress rule ended the body

  template <class MutableBufferSequence>
  size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    size_t n = 0;
    for (;;) {
      const auto wait = rate.ReadTimeout(perRead);
      connection.SetReadTimeout(wait);
      n = connection.read_some(buffers, ec);
      if (ec != boost::system::errc::timed_out) break;
      // A read cut short by the rule's span: the rule decides, and an empty
      // span it accepts means the wait goes on.
      if (!rate.Arrived(0)) {
        tooSlow = true;
        return 0;
      }
      if (perRead.count() != 0 && wait >= perRead) return 0;  // the per-read limit itself
      ec = {};
    }
    if (ec) return n;
    if (!rate.Arrived(n)) {
      tooSlow = true;
      ec = boost::system::errc::make_error_code(boost::system::errc::timed_out);
      return 0;
    }
    if (!checker) return n;
    size_t left = n;
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         left > 0 && it != boost::asio::buffer_sequence_end(buffers); ++it) {
      const boost::asio::mutable_buffer b = *it;
      const size_t part = std::min(left, b.size());
      checker->Feed(static_cast<const char*>(b.data()), part);
      left -= part;
    }
    if (checker->Broken()) ec = http::error::bad_chunk;
    return n;
  }
  template <class MutableBufferSequence>
  size_t read_some(const MutableBufferSequence& buffers) {
    boost::system::error_code ec;
    const size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }
};

// Whether the Transfer-Encoding fields name nothing but "chunked" (or are absent).
bool OnlyChunkedCoding(const HttpRequestHeader& header) {
  auto range = header.equal_range(http::field::transfer_encoding);
  if (range.first == range.second) return true;
  if (std::next(range.first) != range.second) return false;
  return boost::beast::iequals(TrimSpaces(range.first->value()), "chunked");
}

bool IsHttpParseError(const boost::system::error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_target).category() &&
         ec != http::error::end_of_stream && ec != http::error::partial_message;
}

using RequestParser = http::request_parser<TArrivingBody>;

// How far the charge of a body may run ahead of the bytes that arrived: one
// read's worth.
constexpr size_t kBodyChargeStep = 64 * 1024;

// Reads the body of a request whose header passed, its share of the memory
// budget held in `charge`: what arrived, and one step ahead for the next
// read. False, with the connection to be closed, after a 503 reply when the
// budget cannot hold the next step, or after one console line (and a 408
// reply, when it goes out at once) when the body stops making progress; a
// read or framing error is left in ec.
bool ReadBody(TConnection& connection, boost::beast::flat_buffer& buffer, RequestParser& parser,
              TMemoryCharge& charge, const TServerLimits& limits, boost::system::error_code& ec) {
  const auto announced = parser.content_length();
  // A longer body than the limit fails in the parser.
  const size_t largestBody =
      announced ? static_cast<size_t>(std::min<uint64_t>(*announced, limits.bodyBytes)) : limits.bodyBytes;
  auto nextStep = [&] { return charge.GrowTo(std::min(largestBody, parser.get().body().size() + kBodyChargeStep)); };
  bool held = nextStep();
  if (held && boost::beast::iequals(parser.get()[http::field::expect], "100-continue"))
    connection.Write(std::string_view("HTTP/1.1 100 Continue\r\n\r\n"));
  TChunkChecker checker;
  if (held && parser.chunked()) {
    // Bytes that came with the header go through the checker first.
    const auto ahead = buffer.data();  // one piece: a flat buffer
    checker.Feed(static_cast<const char*>(ahead.data()), ahead.size());
    if (checker.Broken()) ec = http::error::bad_chunk;
  }
  // The progress rule runs from the end of the header on; bytes that came
  // with it count as its first.
  TMinDataRate rate(limits.bodyProgress);
  rate.Start(announced ? static_cast<size_t>(*announced) : std::numeric_limits<size_t>::max());
  rate.Arrived(buffer.size());
  CheckedBodyStream body{connection, parser.chunked() ? &checker : nullptr, rate, limits.requestRead};
  parser.eager(true);  // as a whole-message read: each read parses all it can
  while (held && !ec && !parser.is_done()) {
    http::read_some(body, buffer, parser, ec);
    if (!ec) held = nextStep();
  }
  connection.SetReadTimeout(limits.requestRead);
  if (body.tooSlow) {
    // Everything the body held goes back before anything else happens.
    charge.Release();
    std::string().swap(parser.get().body());
    WriteLine("Request body too slow from " + connection.PeerAddress() + ": less than " +
              std::to_string(limits.bodyProgress.minBytes / 1024) + " KiB in " +
              std::to_string(limits.bodyProgress.span.count() / 1000) + " s, connection closed");
    connection.SetWriteTimeout(std::chrono::milliseconds(200));
    try {
      SendStatus(connection, http::status::request_timeout, parser.get().version(), false,
                 "408 Request body too slow");
    } catch (const std::exception&) {
      // A client that does not read hears nothing.
    }
    ec = {};
    return false;
  }
  if (!held)
    SendStatus(connection, http::status::service_unavailable, parser.get().version(), false,
               "503 Too many request bodies in memory");
  return held;
}

// The answer to a request that could not be read whole; none for an end of
// stream, a timeout or a socket error.
void AnswerReadError(TConnection& connection, const RequestParser& parser, const boost::system::error_code& ec) {
  const unsigned version = parser.is_header_done() ? parser.get().version() : 11;
  if (ec == http::error::body_limit)
    SendStatus(connection, http::status::payload_too_large, version, false, "413 Request body too large");
  else if (ec == http::error::header_limit)
    SendStatus(connection, http::status::request_header_fields_too_large, 11, false,
               "431 Request header too large");
  else if (IsHttpParseError(ec))
    SendStatus(connection, http::status::bad_request, 11, false, "400 Bad Request");
}

// This machine's own host name in lower case ("" when it has none).
std::string MachineName() {
  char name[256] = "";
  if (::gethostname(name, sizeof name - 1) != 0) return "";
  return LowerCase(name);
}

}  // namespace

bool IsTLSClientHelloBytes(const unsigned char* b, size_t n) {
  if (n < 3) return false;
  if (b[0] == 0x16 && b[1] == 0x03) return true;  // TLS record: handshake, major version 3
  size_t length;
  unsigned type;
  if (b[0] & 0x80) {  // SSLv2-style two-byte header
    length = (b[0] & 0x7Fu) * 256 + b[1];
    type = b[2];
  } else {            // three-byte header
    if (n < 4) return false;
    length = (b[0] & 0x3Fu) * 256 + b[1];
    type = b[3];
  }
  return length > 9 && type == 1;
}

bool SecureRequired() {
  if (!Settings) return false;
  const JsonValue* v = Settings->Find("secure");
  if (!v) return false;
  if (v->is_number()) return v->get<double>() == 1.0;
  if (v->is_string()) {
    const std::string s = v->get<std::string>();
    char* end = nullptr;
    double d = std::strtod(s.c_str(), &end);
    if (end == s.c_str()) return false;
    while (*end == ' ' || *end == '\t') ++end;
    return *end == '\0' && d == 1.0;
  }
  return false;
}

std::string OpenSSLFolder() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&SSL_CTX_new), &info) && info.dli_fname) {
    std::string file = info.dli_fname;
    size_t cut = file.rfind('/');
    if (cut != std::string::npos) return file.substr(0, cut + 1);
  }
  return "";
}

TShttpsServer::TShttpsServer() = default;

TShttpsServer::~TShttpsServer() {
  try {
    Stop();
  } catch (...) {
  }
  if (ctx_) SSL_CTX_free(ctx_);
}

size_t TShttpsServer::ConnectionCount() {
  std::lock_guard<std::mutex> g(lock_);
  size_t n = 0;
  for (const auto& e : entries_)
    if (!e.finished) ++n;
  return n;
}

void TShttpsServer::Start() {
  if (acceptor_) throw std::logic_error("server already started");
  WriteLine("SSL " + OpenSSLFolder() + " Version: " + OpenSSL_version(OPENSSL_VERSION));
  WriteLine("Zlib version loaded: " + std::string(zlibVersion()));

  // TLS 1.2 and 1.3 only; client certificates are neither asked for nor checked.
  if (ctx_) SSL_CTX_free(ctx_);  // left by a start that failed
  ctx_ = SSL_CTX_new(TLS_server_method());
  if (!ctx_) throw std::runtime_error("TLS context: " + SslErrorText());
  SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(ctx_, TLS1_3_VERSION);
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION);  // a client cannot restart the handshake
  if (SSL_CTX_use_certificate_chain_file(ctx_, CertFile.c_str()) != 1)
    throw std::runtime_error("Could not load certificate file " + CertFile + ": " + SslErrorText());
  if (SSL_CTX_use_PrivateKey_file(ctx_, KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
    throw std::runtime_error("Could not load key file " + KeyFile + ": " + SslErrorText());
  if (SSL_CTX_check_private_key(ctx_) != 1)
    throw std::runtime_error("The key does not match the certificate: " + SslErrorText());
  if (!RootCertFile.empty() && SSL_CTX_load_verify_locations(ctx_, RootCertFile.c_str(), nullptr) != 1)
    throw std::runtime_error("Could not load CA file " + RootCertFile + ": " + SslErrorText());

  boost::system::error_code ec;
  auto address = boost::asio::ip::make_address_v4(Host, ec);
  if (ec) {
    tcp::resolver resolver(io_);
    auto results = resolver.resolve(tcp::v4(), Host, "", ec);
    if (ec || results.empty())
      throw std::runtime_error("Cannot resolve " + Host + (ec ? ": " + ec.message() : ""));
    address = results.begin()->endpoint().address().to_v4();
  }
  // Failures read "<step> <address>:<port>: <reason>", without the library's
  // source locations.
  const std::string where = address.to_string() + ":" + std::to_string(Port);
  auto fail = [&](const char* step) {
    throw std::runtime_error(std::string(step) + " " + where + ": " + ec.message());
  };
  tcp::acceptor acceptor(io_);
  if (acceptor.open(tcp::v4(), ec)) fail("Cannot open a socket for");
  if (acceptor.set_option(tcp::acceptor::reuse_address(true), ec)) fail("Cannot reuse");
  if (acceptor.bind(tcp::endpoint(address, Port), ec)) fail("Cannot bind");
  if (acceptor.listen(SOMAXCONN, ec)) fail("Cannot listen on");
  if (acceptor.native_non_blocking(true, ec)) fail("Cannot listen on");
  const auto local = acceptor.local_endpoint(ec);
  if (ec) fail("Cannot listen on");
  boundPort_ = local.port();
  localNames_ = {LowerCase(Host), MachineName()};
  acceptor_.emplace(std::move(acceptor));

  SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_SERVER);
  SSL_CTX_sess_set_cache_size(ctx_, 128);
  static const unsigned char kSessionContext[] = "vexaserver";
  SSL_CTX_set_session_id_context(ctx_, kSessionContext, sizeof kSessionContext - 1);

  // 1000 connections with their files and PHP pipes need more descriptors
  // than the usual soft limit of 1024.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 8192 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = std::min<rlim_t>(files.rlim_max, 8192);
    ::setrlimit(RLIMIT_NOFILE, &files);
  }

  memoryBudget_.SetLimit(Limits.memoryBudget);
  stopping_ = false;
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

void TShttpsServer::AcceptLoop() {
  const int lfd = acceptor_->native_handle();
  while (!stopping_.load()) {
    JoinFinished();
    pollfd p{lfd, POLLIN, 0};
    int r = ::poll(&p, 1, 200);
    if (r <= 0 || stopping_.load()) continue;
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(lfd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);

    std::lock_guard<std::mutex> g(lock_);
    size_t active = 0;
    for (const auto& e : entries_)
      if (!e.finished) ++active;
    if (active >= Limits.maxConnections) {
      ::close(fd);  // over the limit: refused at once, the server goes on
      continue;
    }
    Entry& entry = entries_.emplace_back();
    entry.connection = std::make_unique<TConnection>(fd, text, ntohs(peer.sin_port));
    try {
      entry.thread = std::thread([this, &entry] { ServeConnection(entry); });
    } catch (const std::exception&) {
      entries_.pop_back();  // no thread to be had: closes the socket
    }
  }
}

void TShttpsServer::JoinFinished() {
  std::list<Entry> done;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = entries_.begin(); it != entries_.end();) {
      auto next = std::next(it);
      if (it->finished) done.splice(done.end(), entries_, it);
      it = next;
    }
  }
  for (auto& e : done)
    if (e.thread.joinable()) e.thread.join();
}

void TShttpsServer::Stop() {
  if (!acceptor_) return;
  stopping_ = true;
  ::shutdown(acceptor_->native_handle(), SHUT_RDWR);  // wakes the accept loop's poll
  if (acceptThread_.joinable()) acceptThread_.join();
  boost::system::error_code closeError;
  acceptor_->close(closeError);
  acceptor_.reset();

  std::list<Entry> all;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (auto& e : entries_) e.connection->Shutdown();
    all.splice(all.end(), entries_);
  }
  for (auto& e : all)
    if (e.thread.joinable()) e.thread.join();
  if (closeError) throw boost::system::system_error(closeError);
}

bool TShttpsServer::IsTLSClientHello(TConnection& connection) {
  unsigned char b[6];
  size_t n = connection.Peek(b, sizeof b, Limits.firstBytes);
  return IsTLSClientHelloBytes(b, n);
}

void TShttpsServer::ServeConnection(Entry& entry) {
  TConnection& connection = *entry.connection;
  try {
    bool secure = false;
    if (ServerConnect(connection, secure)) RequestLoop(connection, secure);
  } catch (...) {
    // A client that went away or broke the protocol: nothing to report.
  }
  connection.Shutdown();
  std::lock_guard<std::mutex> g(lock_);
  entry.finished = true;
}

bool TShttpsServer::ServerConnect(TConnection& connection, bool& secure) {
  try {
    unsigned char b[6];
    size_t n = connection.Peek(b, sizeof b, Limits.firstBytes);
    if (n == 0) return false;  // closed, or silent for too long
    secure = IsTLSClientHelloBytes(b, n);
    if (!secure && SecureRequired()) return false;  // plain client refused without a reply
    if (secure) {
      try {
        connection.StartTLS(ctx_, Limits.handshake);
      } catch (const std::runtime_error&) {
        return false;  // failed handshake: silent
      }
    }
    return true;
  } catch (const std::system_error&) {
    return false;  // socket error: silent
  } catch (const std::exception& e) {
    PrintError("Srv Error:  Type:- " + boost::core::demangle(typeid(e).name()) + " Msg:- " + ConsoleQuote(e.what()));
    return false;
  }
}

void TShttpsServer::RequestLoop(TConnection& connection, bool secure) {
  boost::beast::flat_buffer buffer;
  // Whether the client is on this machine goes by its place: a loopback
  // peer is, and so is one on any of the machine's own addresses (looked up
  // once per connection, only for a peer that is not on loopback).
  OwnAddresses own;
  if (!IsLoopbackIPv4(connection.PeerAddress())) own = OwnAddressesOf(connection.NativeHandle());
  for (;;) {
    connection.SetReadTimeout(Limits.requestRead);
    TMemoryCharge charge(&memoryBudget_);  // outlives the request and its body
    RequestParser parser;
    parser.header_limit(static_cast<std::uint32_t>(Limits.headerBytes));
    parser.body_limit(Limits.bodyBytes);
    boost::system::error_code ec;
    http::read_header(connection, buffer, parser, ec);
    if (!ec && RefuseHeader(connection, parser.get(), secure, own)) return;
    if (!ec && !parser.is_done() && !ReadBody(connection, buffer, parser, charge, Limits, ec)) return;
    if (ec) {
      AnswerReadError(connection, parser, ec);
      return;
    }
    auto message = parser.release();
    HttpRequest request(std::move(message.base()), std::move(message.body()));
    // A connection id is the server's to give: one the client sent never
    // reaches a road, PHP or the WebSocket routing.
    RemoveConIdFields(request);
    if (!ServeRequest(connection, buffer, request, secure)) return;
  }
}

bool TShttpsServer::ServeRequest(TConnection& connection, boost::beast::flat_buffer& buffer,
                                 const HttpRequest& request, bool secure) {
  const bool keepAlive = request.keep_alive();
  if (request.method() != http::verb::get && request.method() != http::verb::post) {
    SendStatus(connection, http::status::method_not_allowed, request.version(), keepAlive,
               "405 Method Not Allowed", "GET, POST");
    return keepAlive;
  }

  auto upgrade = request.find("Upgrade");
  if (upgrade != request.end() && upgrade->value() == "websocket" && buffer.size()) {
    // Bytes the parser read past the request belong to the WebSocket stream.
    auto rest = buffer.data();
    connection.PushBack(rest.data(), rest.size());
    buffer.consume(buffer.size());
  }

  HttpReply reply;
  reply.response.version(request.version());
  reply.close = !keepAlive;
  if (HandleRequest(connection, request, reply, secure)) return false;
  if (reply.started) return reply.ended && keepAlive;
  auto& res = reply.response;
  SetConnectionField(res, keepAlive);
  if (reply.file.is_open()) {
    SendFileReply(connection, reply);
  } else {
    res.prepare_payload();
    http::write(connection, res);
  }
  return keepAlive;
}

bool TShttpsServer::RefuseHeader(TConnection& connection, HttpRequestHeader& header, bool secure,
                                 const OwnAddresses& own) {
  const unsigned version = header.version();
  auto refuse = [&](http::status status, const char* text) {
    SendStatus(connection, status, version, false, text);
    return true;
  };
  if (!OnlyChunkedCoding(header))
    return refuse(http::status::not_implemented, "501 Transfer-Encoding not implemented");
  // Two Host fields are refused also when an absolute-form target names the host.
  if (header.count(http::field::host) > 1 || !ToOriginForm(header))
    return refuse(http::status::bad_request, "400 Bad Request");
  const size_t hosts = header.count(http::field::host);
  if (hosts == 0 && version >= 11) return refuse(http::status::bad_request, "400 Bad Request");
  const std::string_view host = hosts ? std::string_view(header[http::field::host]) : std::string_view();
  if (hosts && !IsHostAllowed(connection.PeerAddress(), host, localNames_, own))
    return refuse(http::status::forbidden, "403 Forbidden: not a local host name");
  auto upgrade = header.find(http::field::upgrade);
  const bool isUpgrade = upgrade != header.end() && upgrade->value() == "websocket";
  if (header.method() == http::verb::post || isUpgrade) {
    const std::string_view fetchSite = header["Sec-Fetch-Site"];
    auto origins = header.equal_range(http::field::origin);
    for (auto it = origins.first; it != origins.second; ++it)
      if (!IsOwnOriginRequest(it->value(), host, secure, fetchSite))
        return refuse(http::status::forbidden, "403 Forbidden: request from another origin");
  }
  return false;
}

bool TShttpsServer::HandleRequest(TConnection& connection, const HttpRequest& request,
                                  HttpReply& reply, bool secure) {
  try {
    auto upgrade = request.find("Upgrade");
    if (upgrade != request.end() && upgrade->value() == "websocket") {
      try {
        if (!WsEvents.OnWsConnect || !WsEvents.OnWsMessage || !WsEvents.OnWsDisconnect) {
          reply.response.result(http::status::not_implemented);
          reply.response.body() = "501 WebSocket applications are not served by this build";
          return false;
        }
        connection.SetReadTimeout(std::chrono::milliseconds(0));
        const TWsLimits limits{TWebSocketHandler::DefaultMaxMessageSize, Limits.wsFrameRead,
                               &memoryBudget_};
        if (HandleWebSocket(connection, request, secure, WsEvents, limits)) return true;
        reply.response.result(http::status::bad_request);
        reply.response.body() = "400 Bad WebSocket handshake";
        return false;
      } catch (const std::exception& e) {
        WriteLine("SrvWsRqError " + ConsoleQuote(e.what()));
        return true;
      }
    }
    try {
      TRequestHandler handler;
      handler.HandleRequest(connection, request, reply, secure);
    } catch (const std::exception& e) {
      WriteLine("SrvHtRqError " + ConsoleQuote(e.what()));
    }
    return false;
  } catch (const std::exception& e) {
    PrintError("Srv Hand Error: " + ConsoleQuote(e.what()));
  } catch (...) {
    PrintError("Srv Hand Error: unknown ");
  }
  return false;
}

}  // namespace vexa

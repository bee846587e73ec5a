#include "ws_test_host.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <chrono>
#include <stdexcept>

#include "server/http/connection.hpp"

namespace vexa::test {

SslCtxPtr MakeSelfSignedServerContext() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (!key) throw std::runtime_error("EVP_EC_gen");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600 * 24);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509_sign(cert, key, EVP_sha256());
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  const bool ok = SSL_CTX_use_certificate(ctx.get(), cert) == 1 &&
                  SSL_CTX_use_PrivateKey(ctx.get(), key) == 1;
  X509_free(cert);
  EVP_PKEY_free(key);
  if (!ok) throw std::runtime_error("server identity");
  return ctx;
}

TWsTestHost::TWsTestHost(SSL_CTX* ctx, TWsEvents events) : ctx_(ctx), events_(std::move(events)) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error("socket");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listenFd_, 256) != 0)
    throw std::runtime_error("bind/listen");
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  if (::pipe2(wakePipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  acceptThread_ = std::thread([this] { AcceptLoop(); });
}

TWsTestHost::~TWsTestHost() {
  stopping_ = true;
  (void)!::write(wakePipe_[1], "x", 1);
  acceptThread_.join();
  {
    std::lock_guard<std::mutex> lock(lock_);
    for (auto& c : clients_)
      if (c.connection) c.connection->Shutdown();
  }
  for (auto& c : clients_) c.thread.join();
  ::close(listenFd_);
  ::close(wakePipe_[0]);
  ::close(wakePipe_[1]);
}

void TWsTestHost::ReapFinished() {
  std::lock_guard<std::mutex> lock(lock_);
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (it->done) {
      it->thread.join();
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

void TWsTestHost::AcceptLoop() {
  while (!stopping_) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, 1000) <= 0) continue;
    if (fds[1].revents) break;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    ReapFinished();
    std::lock_guard<std::mutex> lock(lock_);
    clients_.emplace_back();
    Client* c = &clients_.back();
    c->thread = std::thread([this, c, fd] { Serve(c, fd); });
  }
}

void TWsTestHost::Serve(Client* client, int fd) {
  namespace http = boost::beast::http;
  {
    TConnection connection(fd, "127.0.0.1");
    {
      std::lock_guard<std::mutex> lock(lock_);
      client->connection = &connection;
    }
    if (stopping_) connection.Shutdown();
    try {
      unsigned char first[6];
      const size_t n = connection.Peek(first, sizeof first, std::chrono::seconds(10));
      if (n >= 3 && first[0] == 0x16 && first[1] == 0x03) {
        if (!ctx_) throw std::runtime_error("TLS not offered");
        connection.StartTLS(ctx_);
      }
      boost::beast::flat_buffer buffer;
      HttpRequest request;
      http::read(connection, buffer, request);
      // Bytes the parser read past the request belong to the first frames.
      if (buffer.size() > 0) connection.PushBack(buffer.data().data(), buffer.size());
      bool answered = false;
      if (request[http::field::upgrade] == "websocket")
        answered = HandleWebSocket(connection, request, connection.IsTLS(), events_);
      if (!answered)
        connection.Write(std::string_view("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n"));
    } catch (const std::exception&) {
      // A test client that went away; nothing to report.
    }
    std::lock_guard<std::mutex> lock(lock_);
    client->connection = nullptr;
  }
  std::lock_guard<std::mutex> lock(lock_);
  client->done = true;
}

}  // namespace vexa::test

#include "server/http/connection.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

namespace vexa {

namespace {

// Longest single poll; a waiter re-checks the shutdown mark this often.
constexpr int kPollSliceMs = 200;

using Clock = std::chrono::steady_clock;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
      .count();
}

[[noreturn]] void ThrowErrno(int err, const char* what) {
  throw std::system_error(err, std::generic_category(), what);
}

std::string SslErrorText() {
  unsigned long e = ERR_get_error();
  if (e == 0) return "TLS error";
  char buf[256];
  ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

// A socket BIO that sends with MSG_NOSIGNAL: a client that vanished makes a
// write fail with EPIPE instead of raising SIGPIPE in the whole process.
int BioWrite(BIO* bio, const char* data, int size) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int size) {
  int fd = static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio)));
  BIO_clear_retry_flags(bio);
  ssize_t n = ::recv(fd, data, static_cast<size_t>(size), 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(bio);
  return static_cast<int>(n);
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int BioPuts(BIO* bio, const char* text) { return BioWrite(bio, text, static_cast<int>(std::strlen(text))); }

BIO* NewSocketBio(int fd) {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR,
                                 "vexa socket");
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_puts(m, BioPuts);
    BIO_meth_set_ctrl(m, BioCtrl);
    return m;
  }();
  BIO* bio = BIO_new(method);
  if (!bio) throw std::runtime_error("BIO_new: " + SslErrorText());
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  BIO_set_init(bio, 1);
  return bio;
}

}  // namespace

TConnection::TConnection(int fd, std::string peerAddress, uint16_t peerPort)
    : fd_(fd), peerAddress_(std::move(peerAddress)), peerPort_(peerPort) {
  int flags = fcntl(fd_, F_GETFL, 0);
  if (flags >= 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
  fcntl(fd_, F_SETFD, FD_CLOEXEC);
}

TConnection::~TConnection() {
  if (SSL* s = ssl_.load()) SSL_free(s);
  if (fd_ >= 0) ::close(fd_);
}

bool TConnection::WaitFor(short events, int64_t timeoutMs, SSL* pendingOf) {
  const int64_t deadline = timeoutMs > 0 ? NowMs() + timeoutMs : 0;
  for (;;) {
    if (shutdown_.load()) return true;  // the caller's next call sees the end
    int slice = kPollSliceMs;
    if (deadline) {
      int64_t left = deadline - NowMs();
      if (left <= 0) return false;
      slice = static_cast<int>(std::min<int64_t>(left, kPollSliceMs));
    }
    pollfd p{fd_, events, 0};
    int r = ::poll(&p, 1, slice);
    if (r > 0) return true;  // ready, or an error/hangup the next call reports
    if (r < 0 && errno != EINTR) ThrowErrno(errno, "poll");
    if (pendingOf) {
      // A writer's call into the session may have taken in bytes that the
      // socket no longer shows.
      std::lock_guard<std::mutex> sl(sslLock_);
      if (SSL_has_pending(pendingOf)) return true;
    }
  }
}

size_t TConnection::Peek(void* data, size_t size, std::chrono::milliseconds timeout) {
  const int64_t deadline = NowMs() + timeout.count();
  for (;;) {
    if (shutdown_.load()) return 0;
    ssize_t n = ::recv(fd_, data, size, MSG_PEEK);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return 0;
    int64_t left = deadline - NowMs();
    if (left <= 0) return 0;
    if (!WaitFor(POLLIN, left)) return 0;
  }
}

void TConnection::StartTLS(SSL_CTX* ctx, std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> wl(writeLock_);
  SSL* ssl = SSL_new(ctx);
  if (!ssl) throw std::runtime_error("SSL_new: " + SslErrorText());
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  BIO* bio;
  try {
    bio = NewSocketBio(fd_);
  } catch (...) {
    SSL_free(ssl);
    throw;
  }
  SSL_set_bio(ssl, bio, bio);
  SSL_set_accept_state(ssl);
  const int64_t deadline = NowMs() + timeout.count();
  for (;;) {
    int r, err;
    {
      std::lock_guard<std::mutex> sl(sslLock_);
      ERR_clear_error();
      r = SSL_do_handshake(ssl);
      err = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
    }
    if (r == 1) break;
    short ev;
    if (err == SSL_ERROR_WANT_READ) {
      ev = POLLIN;
    } else if (err == SSL_ERROR_WANT_WRITE) {
      ev = POLLOUT;
    } else {
      std::string text = err == SSL_ERROR_SYSCALL && errno ? std::strerror(errno) : SslErrorText();
      ERR_clear_error();
      SSL_free(ssl);
      throw std::runtime_error("TLS handshake failed: " + text);
    }
    int64_t left = deadline - NowMs();
    if (left <= 0 || !WaitFor(ev, left) || shutdown_.load()) {
      SSL_free(ssl);
      throw std::runtime_error("TLS handshake timed out");
    }
  }
  ssl_.store(ssl);
}

size_t TConnection::ReadSome(void* data, size_t size) {
  if (size == 0 || readShut_.load()) return 0;
  if (pushedBackPos_ < pushedBack_.size()) {
    size_t n = std::min(size, pushedBack_.size() - pushedBackPos_);
    std::memcpy(data, pushedBack_.data() + pushedBackPos_, n);
    pushedBackPos_ += n;
    if (pushedBackPos_ == pushedBack_.size()) {
      pushedBack_.clear();
      pushedBackPos_ = 0;
    }
    return n;
  }
  const int64_t timeoutMs = readTimeoutMs_.load();
  const int64_t deadline = timeoutMs > 0 ? NowMs() + timeoutMs : 0;
  const int readLen = static_cast<int>(std::min<size_t>(size, 1 << 30));
  for (;;) {
    if (shutdown_.load() || readShut_.load()) return 0;
    short ev = POLLIN;
    if (SSL* ssl = ssl_.load()) {
      int r, err;
      {
        // SSL_read first: it returns what the session has buffered already,
        // so polling happens only when nothing is pending.
        std::lock_guard<std::mutex> sl(sslLock_);
        ERR_clear_error();
        r = SSL_read(ssl, data, readLen);
        err = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
      }
      if (r > 0) return static_cast<size_t>(r);
      if (err == SSL_ERROR_ZERO_RETURN) return 0;
      if (err == SSL_ERROR_WANT_WRITE) {
        ev = POLLOUT;
      } else if (err != SSL_ERROR_WANT_READ) {
        if (err == SSL_ERROR_SYSCALL) {
          int e = errno;
          ERR_clear_error();
          if (e == 0 || e == ECONNRESET || e == EPIPE) return 0;  // peer vanished
          ThrowErrno(e, "TLS read");
        }
        if (shutdown_.load()) return 0;
        throw std::system_error(std::make_error_code(std::errc::io_error),
                                "TLS read: " + SslErrorText());
      }
    } else {
      ssize_t n = ::recv(fd_, data, size, 0);
      if (n >= 0) return static_cast<size_t>(n);
      if (errno == EINTR) continue;
      if (errno == ECONNRESET) return 0;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        if (shutdown_.load()) return 0;
        ThrowErrno(errno, "read");
      }
    }
    int64_t left = 0;
    if (deadline) {
      left = deadline - NowMs();
      if (left <= 0) throw std::system_error(std::make_error_code(std::errc::timed_out), "read");
    }
    if (!WaitFor(ev, left, ssl_.load()))
      throw std::system_error(std::make_error_code(std::errc::timed_out), "read");
  }
}

bool TConnection::ReadExact(void* data, size_t size) {
  char* p = static_cast<char*>(data);
  while (size > 0) {
    size_t n = ReadSome(p, size);
    if (n == 0) return false;
    p += n;
    size -= n;
  }
  return true;
}

void TConnection::PushBack(const void* data, size_t size) {
  if (size == 0) return;
  std::string rest = pushedBack_.substr(pushedBackPos_);
  pushedBack_.assign(static_cast<const char*>(data), size);
  pushedBack_ += rest;
  pushedBackPos_ = 0;
}

size_t TConnection::ReadSomeEc(void* data, size_t size, boost::system::error_code& ec) {
  try {
    size_t n = ReadSome(data, size);
    ec = n == 0 ? boost::system::error_code(boost::asio::error::eof) : boost::system::error_code();
    return n;
  } catch (const std::system_error& e) {
    ec = boost::system::error_code(e.code().value(), boost::system::generic_category());
    return 0;
  }
}

void TConnection::Write(const void* data, size_t size) {
  boost::asio::const_buffer piece(data, size);
  Write(std::span<const boost::asio::const_buffer>(&piece, 1));
}

void TConnection::Write(std::span<const boost::asio::const_buffer> pieces) {
  std::lock_guard<std::mutex> wl(writeLock_);
  if (shutdown_.load()) ThrowErrno(EPIPE, "write");
  if (!ssl_.load()) {
    WritePlain(pieces);
    return;
  }
  FlushTlsRestWaiting();
  // One TLS record per piece would cost a record header and a system call
  // each; small pieces are gathered first.
  size_t total = 0;
  for (const auto& p : pieces) total += p.size();
  if (pieces.size() == 1 || total > 64 * 1024) {
    for (const auto& p : pieces) WriteTLS(static_cast<const char*>(p.data()), p.size());
    return;
  }
  std::string joined;
  joined.reserve(total);
  for (const auto& p : pieces) joined.append(static_cast<const char*>(p.data()), p.size());
  WriteTLS(joined.data(), joined.size());
}

size_t TConnection::WriteNow(std::span<const std::string_view> pieces) {
  std::unique_lock<std::mutex> wl(writeLock_, std::try_to_lock);
  if (!wl.owns_lock()) return 0;
  if (shutdown_.load()) ThrowErrno(EPIPE, "write");
  if (ssl_.load()) return WriteTlsNow(pieces);
  iovec iov[8];  // a queue item has at most three pieces
  size_t count = 0;
  for (const std::string_view& p : pieces)
    if (!p.empty() && count < std::size(iov)) iov[count++] = {const_cast<char*>(p.data()), p.size()};
  if (count == 0) return 0;
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = count;
  for (;;) {
    const ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    ThrowErrno(errno, "write");
  }
}

size_t TConnection::WriteTlsNow(std::span<const std::string_view> pieces) {
  if (!FlushTlsRest()) return 0;
  // One record at a time, as much as the socket takes, at most a mebibyte
  // a call so that the lock is not held long.
  constexpr size_t kRecord = 16384;
  constexpr size_t kMostAtOnce = size_t(1) << 20;
  size_t index = 0, offset = 0, taken = 0;
  const auto advance = [&](size_t n) {
    taken += n;
    while (n > 0) {
      const size_t step = std::min(n, pieces[index].size() - offset);
      offset += step;
      n -= step;
      if (offset == pieces[index].size()) {
        ++index;
        offset = 0;
      }
    }
  };
  char gathered[kRecord];
  while (taken < kMostAtOnce) {
    while (index < pieces.size() && offset == pieces[index].size()) {
      ++index;
      offset = 0;
    }
    if (index == pieces.size()) break;
    // Straight from the piece when it holds a record's worth (or is the
    // last); small pieces are gathered into one record.
    const char* data = pieces[index].data() + offset;
    size_t len = std::min(pieces[index].size() - offset, kRecord);
    if (len < kRecord && index + 1 < pieces.size()) {
      len = 0;
      for (size_t i = index, from = offset; i < pieces.size() && len < kRecord; ++i, from = 0) {
        const size_t n = std::min(pieces[i].size() - from, kRecord - len);
        std::memcpy(gathered + len, pieces[i].data() + from, n);
        len += n;
      }
      data = gathered;
    }
    int err = SSL_ERROR_NONE;
    const int r = TlsWrite(data, len, err);
    if (r > 0) {
      advance(static_cast<size_t>(r));
      continue;
    }
    if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) {
      // The session must be given these bytes again: they are the
      // connection's now, sent first by its next write.
      tlsRest_.assign(data, len);
      tlsRestDone_ = 0;
      tlsHolding_ = true;
      tlsWantsRead_ = err == SSL_ERROR_WANT_READ;
      advance(len);
      break;
    }
    ThrowTlsWriteError(err);
  }
  return taken;
}

bool TConnection::FlushTlsRest() {
  while (tlsRestDone_ < tlsRest_.size()) {
    int err = SSL_ERROR_NONE;
    // The same bytes as the write that asked to be repeated (the session
    // takes them from a moved buffer too).
    const int r = TlsWrite(tlsRest_.data() + tlsRestDone_, tlsRest_.size() - tlsRestDone_, err);
    if (r > 0) {
      tlsRestDone_ += static_cast<size_t>(r);
      tlsWantsRead_ = false;
      continue;
    }
    if (err == SSL_ERROR_WANT_WRITE || err == SSL_ERROR_WANT_READ) {
      tlsWantsRead_ = err == SSL_ERROR_WANT_READ;
      return false;
    }
    ThrowTlsWriteError(err);
  }
  if (!tlsRest_.empty()) std::string().swap(tlsRest_);
  tlsRestDone_ = 0;
  tlsHolding_ = false;
  return true;
}

void TConnection::FlushTlsRestWaiting() {
  const int64_t deadline = NowMs() + writeTimeoutMs_.load();
  while (!FlushTlsRest()) {
    const int64_t left = deadline - NowMs();
    if (left <= 0) ThrowErrno(ETIMEDOUT, "write");
    WaitFor(tlsWantsRead_.load() ? POLLIN : POLLOUT, tlsWantsRead_.load() ? std::min<int64_t>(left, 10) : left);
    if (shutdown_.load()) ThrowErrno(EPIPE, "write");
  }
}

int TConnection::TlsWrite(const char* data, size_t size, int& err) {
  SSL* ssl = ssl_.load();
  std::lock_guard<std::mutex> sl(sslLock_);
  ERR_clear_error();
  const int r = SSL_write(ssl, data, static_cast<int>(std::min<size_t>(size, 1 << 20)));
  err = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
  return r > 0 ? r : 0;
}

void TConnection::ThrowTlsWriteError(int err) {
  const int e = errno;
  if (err == SSL_ERROR_SYSCALL && e) {
    ERR_clear_error();
    ThrowErrno(e, "TLS write");
  }
  throw std::system_error(std::make_error_code(std::errc::broken_pipe), "TLS write: " + SslErrorText());
}

bool TConnection::WaitRoom(std::chrono::milliseconds timeout) {
  if (shutdown_.load()) return false;
  // A session that wants the peer's bytes first gets them from the reader
  // thread: look again soon.
  const bool wantsRead = tlsWantsRead_.load();
  const int64_t ms = std::max<int64_t>(1, wantsRead ? std::min<int64_t>(timeout.count(), 10) : timeout.count());
  WaitFor(wantsRead ? POLLIN : POLLOUT, ms);
  return !shutdown_.load();
}

void TConnection::WritePlain(std::span<const boost::asio::const_buffer> pieces) {
  const int64_t deadline = NowMs() + writeTimeoutMs_.load();
  std::vector<iovec> iov;
  iov.reserve(pieces.size());
  for (const auto& p : pieces)
    if (p.size()) iov.push_back({const_cast<void*>(p.data()), p.size()});
  size_t first = 0;
  while (first < iov.size()) {
    msghdr msg{};
    msg.msg_iov = iov.data() + first;
    msg.msg_iovlen = std::min<size_t>(iov.size() - first, IOV_MAX);
    ssize_t n = ::sendmsg(fd_, &msg, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) ThrowErrno(errno, "write");
      int64_t left = deadline - NowMs();
      if (left <= 0 || !WaitFor(POLLOUT, left)) ThrowErrno(ETIMEDOUT, "write");
      if (shutdown_.load()) ThrowErrno(EPIPE, "write");
      continue;
    }
    size_t done = static_cast<size_t>(n);
    while (first < iov.size() && done >= iov[first].iov_len) done -= iov[first++].iov_len;
    if (done) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + done;
      iov[first].iov_len -= done;
    }
  }
}

void TConnection::WriteTLS(const char* data, size_t size) {
  const int64_t deadline = NowMs() + writeTimeoutMs_.load();
  while (size > 0) {
    int err = SSL_ERROR_NONE;
    const int r = TlsWrite(data, size, err);
    if (r > 0) {
      data += r;
      size -= static_cast<size_t>(r);
      continue;
    }
    short ev;
    int64_t slice;
    if (err == SSL_ERROR_WANT_WRITE) {
      ev = POLLOUT;
      slice = deadline - NowMs();
    } else if (err == SSL_ERROR_WANT_READ) {
      // The session needs bytes from the peer; the reader thread may take
      // them first, so wait only briefly and try again.
      ev = POLLIN;
      slice = std::min<int64_t>(deadline - NowMs(), 10);
    } else {
      ThrowTlsWriteError(err);
    }
    if (deadline - NowMs() <= 0) ThrowErrno(ETIMEDOUT, "write");
    if (slice > 0) WaitFor(ev, slice);
    if (shutdown_.load()) ThrowErrno(EPIPE, "write");
  }
}

size_t TConnection::WriteEc(std::span<const boost::asio::const_buffer> pieces, size_t total,
                            boost::system::error_code& ec) {
  try {
    Write(pieces);
    ec = {};
    return total;
  } catch (const std::system_error& e) {
    ec = boost::system::error_code(e.code().value(), boost::system::generic_category());
    return 0;
  }
}

bool TConnection::PeerHungUp() const {
  struct pollfd pfd{fd_, POLLRDHUP, 0};
  int r;
  do {
    r = ::poll(&pfd, 1, 0);
  } while (r < 0 && errno == EINTR);
  return r > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void TConnection::ShutdownRead() {
  if (readShut_.exchange(true)) return;
  ::shutdown(fd_, SHUT_RD);
}

void TConnection::Shutdown() {
  if (shutdown_.exchange(true)) return;
  // A close_notify is sent when the session is free at once; never wait for
  // a writer that is stuck on a client that does not read.
  SSL* ssl = ssl_.load();
  if (ssl && sslLock_.try_lock()) {
    ERR_clear_error();
    SSL_shutdown(ssl);
    ERR_clear_error();
    sslLock_.unlock();
  }
  ::shutdown(fd_, SHUT_RDWR);
}

}  // namespace vexa

#pragma once
// One client connection of the listener: a plain socket or a TLS session on
// it, decided once from the client's first bytes.
//
// Threads: the connection's own thread reads (ReadSome, ReadExact and the
// Beast read adapter); any thread may call Write, Shutdown and the getters.
// The socket is non-blocking. Every call into the OpenSSL session happens
// under one mutex (`sslLock_`), and waiting for readiness (poll) happens
// outside it, so a reader waiting for data never holds up a writer. A second
// mutex (`writeLock_`) is held for a whole Write, so the bytes of two Write
// calls never interleave on the wire.
//
// A connection is also the sink of a send queue (TSendSink): WriteNow writes
// what the socket takes at once, plain or TLS, and WaitRoom waits for room.
// On TLS, a record the session could not send whole yet belongs to the
// connection from then on: its bytes are kept and sent first by the next
// write, whichever kind it is.

#include <openssl/ssl.h>

#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "core/send_queue.hpp"

namespace vexa {

class TConnection final : public TSendSink {
 public:
  // Takes ownership of a connected stream socket (TCP, or a socketpair in
  // tests) and makes it non-blocking.
  TConnection(int fd, std::string peerAddress, uint16_t peerPort = 0);
  ~TConnection();  // frees the TLS session, closes the socket
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // Peeks at up to `size` bytes without consuming them, waiting at most
  // `timeout` for the first byte to arrive. Returns the count (0 when the
  // client closed or the wait ran out). Used for the TLS sniff.
  size_t Peek(void* data, size_t size, std::chrono::milliseconds timeout);

  // Runs the server side of the TLS handshake on this socket; from then on all
  // reads and writes go through the TLS session. Raises std::runtime_error
  // when the handshake fails or does not finish within `timeout`.
  void StartTLS(SSL_CTX* ctx, std::chrono::milliseconds timeout = std::chrono::seconds(15));

  // Reads what is there (at least one byte, waiting for it); 0 at the end of
  // the stream or after Shutdown. Raises std::system_error on a socket or TLS
  // error, and with std::errc::timed_out when the read timeout passes.
  size_t ReadSome(void* data, size_t size);
  // Reads exactly `size` bytes; false when the stream ends first.
  bool ReadExact(void* data, size_t size);
  // Bytes a parser read ahead of what it used; the next reads return them
  // first. Reader thread only.
  void PushBack(const void* data, size_t size);
  // Zero: wait forever. Applies to every later read.
  void SetReadTimeout(std::chrono::milliseconds timeout) { readTimeoutMs_ = timeout.count(); }
  // Bound on one Write waiting for a client that does not read (default 60 s).
  void SetWriteTimeout(std::chrono::milliseconds timeout) { writeTimeoutMs_ = timeout.count(); }

  // Writes all bytes, or raises std::system_error (closed, broken, timed out).
  // Safe from any thread; whole calls never interleave.
  void Write(const void* data, size_t size);
  void Write(std::string_view text) { Write(text.data(), text.size()); }
  // Writes several pieces as one indivisible write.
  void Write(std::span<const boost::asio::const_buffer> pieces);
  // Writes what the connection takes at once, without waiting: the count
  // taken (0 when it takes nothing now, or while a Write is under way).
  // Raises like Write.
  size_t WriteNow(std::span<const std::string_view> pieces) override;
  // Waits at most `timeout` for room for WriteNow; false once the
  // connection is shut.
  bool WaitRoom(std::chrono::milliseconds timeout) override;
  // A TLS record taken by WriteNow is not out yet.
  bool Holding() const override { return tlsHolding_.load(); }
  std::chrono::milliseconds WriteTimeout() const { return std::chrono::milliseconds(writeTimeoutMs_.load()); }

  // Ends the connection for both directions: a blocked reader wakes and gets
  // 0, later reads return 0 and later writes raise. Safe from any thread,
  // more than once.
  void Shutdown();
  bool IsShutdown() const { return shutdown_.load(); }
  // Ends reading only: a blocked reader wakes and gets 0, later reads return
  // 0; writes go on until Shutdown. Any thread.
  void ShutdownRead();
  // Whether the client has closed its side of the connection (or the socket
  // has failed); reads nothing, so what is still unread stays. Any thread.
  bool PeerHungUp() const;

  bool IsTLS() const { return ssl_.load() != nullptr; }
  const std::string& PeerAddress() const { return peerAddress_; }
  uint16_t PeerPort() const { return peerPort_; }
  int NativeHandle() const { return fd_; }

  // Beast SyncReadStream / SyncWriteStream.
  template <class MutableBufferSequence>
  size_t read_some(const MutableBufferSequence& buffers, boost::system::error_code& ec) {
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         it != boost::asio::buffer_sequence_end(buffers); ++it) {
      boost::asio::mutable_buffer b = *it;
      if (b.size() == 0) continue;
      return ReadSomeEc(b.data(), b.size(), ec);
    }
    ec = {};
    return 0;
  }
  template <class MutableBufferSequence>
  size_t read_some(const MutableBufferSequence& buffers) {
    boost::system::error_code ec;
    size_t n = read_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }
  template <class ConstBufferSequence>
  size_t write_some(const ConstBufferSequence& buffers, boost::system::error_code& ec) {
    std::vector<boost::asio::const_buffer> pieces;
    size_t total = 0;
    for (auto it = boost::asio::buffer_sequence_begin(buffers);
         it != boost::asio::buffer_sequence_end(buffers); ++it) {
      boost::asio::const_buffer b = *it;
      if (b.size() == 0) continue;
      pieces.push_back(b);
      total += b.size();
    }
    return WriteEc(pieces, total, ec);
  }
  template <class ConstBufferSequence>
  size_t write_some(const ConstBufferSequence& buffers) {
    boost::system::error_code ec;
    size_t n = write_some(buffers, ec);
    if (ec) throw boost::system::system_error(ec);
    return n;
  }

 private:
  size_t ReadSomeEc(void* data, size_t size, boost::system::error_code& ec);
  size_t WriteEc(std::span<const boost::asio::const_buffer> pieces, size_t total,
                 boost::system::error_code& ec);
  void WritePlain(std::span<const boost::asio::const_buffer> pieces);
  void WriteTLS(const char* data, size_t size);
  // Sends the kept bytes of an unfinished TLS record (writeLock_ held).
  // True when none are left; false when the socket takes nothing now.
  bool FlushTlsRest();
  // The same, waiting for room up to the write limit (writeLock_ held).
  void FlushTlsRestWaiting();
  [[noreturn]] void ThrowTlsWriteError(int err);
  // One SSL_write under sslLock_: the bytes written, or 0 and `err`.
  int TlsWrite(const char* data, size_t size, int& err);
  size_t WriteTlsNow(std::span<const std::string_view> pieces);

  // Waits for `events` on the socket, in slices so that Shutdown is noticed
  // (and, given a session, bytes it holds already). False when the deadline
  // (if any) passed first.
  bool WaitFor(short events, int64_t timeoutMs, SSL* pendingOf = nullptr);

  int fd_;
  std::string peerAddress_;
  uint16_t peerPort_;
  std::atomic<SSL*> ssl_{nullptr};  // set once by StartTLS, before other threads write
  std::mutex sslLock_;    // every SSL_* call on ssl_
  std::mutex writeLock_;  // one whole Write
  std::atomic<bool> shutdown_{false};
  std::atomic<bool> readShut_{false};
  // The bytes of an SSL_write that the session asked to repeat, and how many
  // of them went since (writeLock_). The write wanted the peer's bytes first.
  std::string tlsRest_;
  size_t tlsRestDone_ = 0;
  std::atomic<bool> tlsWantsRead_{false};
  std::atomic<bool> tlsHolding_{false};
  std::atomic<int64_t> readTimeoutMs_{0};
  std::atomic<int64_t> writeTimeoutMs_{60000};
  std::string pushedBack_;  // reader thread only
  size_t pushedBackPos_ = 0;
};

}  // namespace vexa

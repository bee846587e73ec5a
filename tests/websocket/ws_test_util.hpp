#pragma once
// Client-side helpers for the engine tests: frames as a browser would send
// them, raw deflate as permessage-deflate produces it, and a collector of
// the engine's events.

#include <poll.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexa::test {

// One client frame; masked with `key` unless it is empty.
inline std::string ClientFrame(uint8_t opcode, const std::string& payload, bool fin = true,
                               bool rsv1 = false, std::string key = "\x37\xfa\x21\x3d") {
  std::string f;
  f.push_back(static_cast<char>((fin ? 0x80 : 0) | (rsv1 ? 0x40 : 0) | opcode));
  const char mask = key.empty() ? 0 : static_cast<char>(0x80);
  const uint64_t n = payload.size();
  if (n <= 125) {
    f.push_back(static_cast<char>(mask | n));
  } else if (n <= 0xFFFF) {
    f.push_back(static_cast<char>(mask | 126));
    f.push_back(static_cast<char>(n >> 8));
    f.push_back(static_cast<char>(n));
  } else {
    f.push_back(static_cast<char>(mask | 127));
    for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>(n >> (8 * i)));
  }
  f += key;
  for (size_t i = 0; i < payload.size(); ++i)
    f.push_back(key.empty() ? payload[i] : static_cast<char>(payload[i] ^ key[i % 4]));
  return f;
}

inline std::string Hex(const std::string& bytes) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

// A raw-deflate compressor with context takeover, like a browser's.
class Deflater {
 public:
  Deflater() {
    if (deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::runtime_error("deflateInit2");
  }
  ~Deflater() { deflateEnd(&z_); }
  // The compressed message without its 00 00 FF FF tail.
  std::string Compress(const std::string& text) {
    std::string out(text.size() + 1024, '\0');
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z_.avail_in = static_cast<uInt>(text.size());
    z_.next_out = reinterpret_cast<Bytef*>(out.data());
    z_.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z_, Z_SYNC_FLUSH) != Z_OK || z_.avail_in != 0) throw std::runtime_error("deflate");
    out.resize(out.size() - z_.avail_out);
    if (out.size() < 4 || out.compare(out.size() - 4, 4, std::string("\0\0\xFF\xFF", 4)) != 0)
      throw std::runtime_error("deflate tail");
    out.resize(out.size() - 4);
    return out;
  }

 private:
  z_stream z_{};
};

// A whole raw-deflate stream ending in a final block, as some peers send a
// message; `window` is what the peer still holds from earlier messages.
inline std::string CompressFinal(const std::string& text, const std::string& window = "") {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  if (!window.empty())
    deflateSetDictionary(&z, reinterpret_cast<const Bytef*>(window.data()),
                         static_cast<uInt>(window.size()));
  std::string out(text.size() + 1024, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int ret = deflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  if (ret != Z_STREAM_END) throw std::runtime_error("deflate");
  return out;
}

// Writes all bytes to a blocking descriptor.
inline void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) throw std::runtime_error("write");
    done += static_cast<size_t>(n);
  }
}

// Reads exactly n bytes, or what arrived before the timeout or the end.
inline std::string ReadBytes(int fd, size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (out.size() < n) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
  }
  return out;
}

// The messages and closes the engine reported.
class EventLog {
 public:
  void Message(const std::string& text) {
    std::lock_guard<std::mutex> g(m_);
    messages_.push_back(text);
    cv_.notify_all();
  }
  void Close() {
    std::lock_guard<std::mutex> g(m_);
    ++closes_;
    cv_.notify_all();
  }
  bool WaitMessages(size_t n, std::chrono::milliseconds t = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, t, [&] { return messages_.size() >= n; });
  }
  bool WaitClose(std::chrono::milliseconds t = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, t, [&] { return closes_ > 0; });
  }
  std::vector<std::string> Messages() {
    std::lock_guard<std::mutex> g(m_);
    return messages_;
  }
  int Closes() {
    std::lock_guard<std::mutex> g(m_);
    return closes_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<std::string> messages_;
  int closes_ = 0;
};

}  // namespace vexa::test

// WebSocket echo throughput client: N connections, each with a writer that
// keeps a fixed number of messages in flight and a reader that counts the
// echoes. Prints the echoed messages per second over the measured interval.
//
// usage: ws_bench_client <port> <clients> <message bytes> <seconds> [in flight]
// Loopback only (127.0.0.1).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> gEchoes{0};
std::atomic<long> gBad{0};
std::atomic<bool> gStop{false};

void WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) throw std::runtime_error("send");
    p += w;
    n -= static_cast<size_t>(w);
  }
}

class Reader {
 public:
  explicit Reader(int fd) : fd_(fd), buf_(1 << 16) {}
  // False at the end of the stream.
  bool Exact(char* out, size_t n) {
    while (n > 0) {
      if (pos_ == len_) {
        ssize_t r = ::recv(fd_, buf_.data(), buf_.size(), 0);
        if (r <= 0) return false;
        pos_ = 0;
        len_ = static_cast<size_t>(r);
      }
      size_t k = std::min(n, len_ - pos_);
      std::memcpy(out, buf_.data() + pos_, k);
      pos_ += k;
      out += k;
      n -= k;
    }
    return true;
  }
  bool Line(std::string& line) {
    line.clear();
    char c;
    while (Exact(&c, 1)) {
      if (c == '\n') return true;
      if (c != '\r') line.push_back(c);
    }
    return false;
  }

 private:
  int fd_;
  std::vector<char> buf_;
  size_t pos_ = 0, len_ = 0;
};

std::string MaskedFrame(size_t size) {
  std::string payload(size, 'x');
  for (size_t i = 0; i < size; ++i) payload[i] = static_cast<char>('a' + i % 26);
  const unsigned char key[4] = {0x12, 0x34, 0x56, 0x78};
  std::string f;
  f.push_back(static_cast<char>(0x81));
  if (size <= 125) {
    f.push_back(static_cast<char>(0x80 | size));
  } else if (size <= 0xFFFF) {
    f.push_back(static_cast<char>(0x80 | 126));
    f.push_back(static_cast<char>(size >> 8));
    f.push_back(static_cast<char>(size));
  } else {
    f.push_back(static_cast<char>(0x80 | 127));
    for (int i = 7; i >= 0; --i) f.push_back(static_cast<char>(static_cast<uint64_t>(size) >> (8 * i)));
  }
  f.append(reinterpret_cast<const char*>(key), 4);
  for (size_t i = 0; i < size; ++i) f.push_back(static_cast<char>(payload[i] ^ key[i % 4]));
  return f;
}

void RunClient(int port, size_t size, int inFlight, std::atomic<int>& ready) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    std::exit(2);
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  const std::string hs =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  WriteAll(fd, hs.data(), hs.size());
  Reader reader(fd);
  std::string line;
  if (!reader.Line(line) || line.find(" 101 ") == std::string::npos) {
    std::fprintf(stderr, "handshake refused: %s\n", line.c_str());
    std::exit(2);
  }
  while (reader.Line(line) && !line.empty()) {
  }
  ++ready;
  timeval tv{5, 0};  // a server that stops echoing ends the run instead of hanging it
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);

  const std::string frame = MaskedFrame(size);
  std::counting_semaphore<1 << 20> slots(inFlight);
  std::thread writer([&] {
    try {
      while (!gStop.load()) {
        if (!slots.try_acquire_for(std::chrono::milliseconds(50))) continue;
        WriteAll(fd, frame.data(), frame.size());
      }
    } catch (const std::exception&) {
    }
  });
  std::vector<char> payload(size);
  for (;;) {
    unsigned char h[2];
    if (!reader.Exact(reinterpret_cast<char*>(h), 2)) break;
    uint64_t len = h[1] & 0x7F;
    if (len == 126) {
      unsigned char e[2];
      if (!reader.Exact(reinterpret_cast<char*>(e), 2)) break;
      len = (e[0] << 8) | e[1];
    } else if (len == 127) {
      unsigned char e[8];
      if (!reader.Exact(reinterpret_cast<char*>(e), 8)) break;
      len = 0;
      for (unsigned char b : e) len = (len << 8) | b;
    }
    if ((h[0] & 0x0F) != 1 || len != size) {
      ++gBad;
      break;
    }
    if (!reader.Exact(payload.data(), len)) break;
    ++gEchoes;
    slots.release();
    if (gStop.load()) break;
  }
  gStop = true;  // a broken connection ends the run
  ::shutdown(fd, SHUT_RDWR);
  writer.join();
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: %s <port> <clients> <bytes> <seconds> [in flight]\n", argv[0]);
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int clients = std::atoi(argv[2]);
  const size_t size = std::strtoul(argv[3], nullptr, 10);
  const double seconds = std::atof(argv[4]);
  const int inFlight = argc > 5 ? std::atoi(argv[5]) : 8;
  if (seconds <= 0 || seconds > 60 || clients <= 0 || clients > 1000) return 2;

  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) threads.emplace_back(RunClient, port, size, inFlight, std::ref(ready));
  while (ready.load() < clients && !gStop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  using Clock = std::chrono::steady_clock;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // warm-up
  const long start = gEchoes.load();
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const long end = gEchoes.load();
  const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  const bool broken = gStop.load();
  gStop = true;
  for (auto& t : threads) t.join();
  const double rate = (end - start) / elapsed;
  std::printf("%.0f msg/s %.1f MiB/s%s\n", rate, rate * size / (1024.0 * 1024.0),
              broken || gBad.load() ? " (connection failed)" : "");
  return broken || gBad.load() ? 1 : 0;
}

// Load driver of the page benchmark: latency and throughput of a page served
// over HTTP, and of the same PHP process spawned directly.
//
//   pages_bench http  PORT PATH  latency N | rate CLIENTS SECONDS
//   pages_bench spawn PROGRAM ARGS... --  latency N | rate CLIENTS SECONDS
//
// The spawn mode runs the program with the driver's own environment, with
// pipes on all three standard streams (as the server does), reads standard
// output and error to their end and reaps the child. Prints one JSON line.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// ---- HTTP: one keep-alive connection, whole replies (length or chunked) ----

class HttpClient {
 public:
  HttpClient(int port, std::string path) : port_(port), path_(std::move(path)) {}
  ~HttpClient() { Close(); }

  // One GET; true when a whole 200 reply with a body arrived.
  bool Get() {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0 && !Connect()) return false;
      std::string req = "GET " + path_ + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n\r\n";
      if (::send(fd_, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size()) && ReadReply())
        return true;
      Close();
    }
    return false;
  }

 private:
  bool Connect() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      Close();
      return false;
    }
    buf_.clear();
    return true;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  bool Fill() {
    char tmp[65536];
    ssize_t n = ::recv(fd_, tmp, sizeof tmp, 0);
    if (n <= 0) return false;
    buf_.append(tmp, static_cast<size_t>(n));
    return true;
  }
  bool Until(const char* sep, std::string& out) {
    size_t at;
    while ((at = buf_.find(sep)) == std::string::npos)
      if (!Fill()) return false;
    out = buf_.substr(0, at);
    buf_.erase(0, at + std::strlen(sep));
    return true;
  }
  bool Exact(size_t n) {
    while (buf_.size() < n)
      if (!Fill()) return false;
    buf_.erase(0, n);
    return true;
  }
  bool ReadReply() {
    std::string head;
    if (!Until("\r\n\r\n", head)) return false;
    bool ok = head.rfind("HTTP/1.1 200", 0) == 0;
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    size_t body = 0;
    if (lower.find("transfer-encoding: chunked") != std::string::npos) {
      while (true) {
        std::string line;
        if (!Until("\r\n", line)) return false;
        size_t n = std::stoul(line, nullptr, 16);
        if (n == 0) return Exact(2) && ok && body > 0;
        if (!Exact(n + 2)) return false;
        body += n;
      }
    }
    size_t cl = lower.find("content-length:");
    bool closing = lower.find("connection: close") != std::string::npos;
    if (cl == std::string::npos) {
      // The body runs to the end of the connection.
      while (Fill()) {
      }
      body = buf_.size();
      Close();
      return ok && body > 0;
    }
    body = std::stoul(lower.substr(cl + 15));
    if (!Exact(body)) return false;
    if (closing) Close();
    return ok && body > 0;
  }

  int port_;
  std::string path_;
  int fd_ = -1;
  std::string buf_;
};

// ---- direct spawn ----

bool SpawnOnce(const std::vector<std::string>& argv) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return false;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawn(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  size_t got = 0;
  if (rc == 0) {
    pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    char tmp[32768];
    while (open > 0) {
      ::poll(p, 2, -1);
      for (auto& e : p) {
        if (e.fd < 0 || !e.revents) continue;
        ssize_t n = ::read(e.fd, tmp, sizeof tmp);
        if (n <= 0) {
          e.fd = -1;
          --open;
        } else if (&e == &p[0]) {
          got += static_cast<size_t>(n);
        }
      }
    }
    int status;
    ::waitpid(pid, &status, 0);
  }
  ::close(in[1]);
  ::close(out[0]);
  ::close(err[0]);
  return rc == 0 && got > 0;
}

// ---- measurements ----

template <class MakeWorker>
void Latency(int n, MakeWorker make) {
  auto once = make();
  for (int i = 0; i < std::min(20, n); ++i) once();  // warm-up
  std::vector<double> ms;
  int errors = 0;
  for (int i = 0; i < n; ++i) {
    auto t0 = Clock::now();
    if (!once()) ++errors;
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  double median = ms[ms.size() / 2];
  double p99 = ms[std::min(ms.size() - 1, static_cast<size_t>(ms.size() * 0.99))];
  std::printf("{\"n\": %d, \"median_ms\": %.3f, \"p99_ms\": %.3f, \"errors\": %d, \"samples\": [", n, median, p99,
              errors);
  for (size_t i = 0; i < ms.size(); ++i) std::printf("%s%.3f", i ? ", " : "", ms[i]);
  std::printf("]}\n");
}

template <class MakeWorker>
void Rate(int clients, double seconds, MakeWorker make) {
  std::atomic<long> done{0}, errors{0};
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&] {
      auto once = make();
      while (Clock::now() < deadline) {
        if (once()) ++done;
        else ++errors;
      }
    });
  }
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("{\"clients\": %d, \"seconds\": %.2f, \"done\": %ld, \"rps\": %.1f, \"errors\": %ld}\n", clients,
              elapsed, done.load(), done.load() / elapsed, errors.load());
}

int Usage() {
  std::fprintf(stderr,
               "usage: pages_bench http PORT PATH latency N | rate CLIENTS SECONDS\n"
               "       pages_bench spawn PROGRAM ARGS... -- latency N | rate CLIENTS SECONDS\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> a(argv + 1, argv + argc);
  if (a.size() < 4) return Usage();
  std::vector<std::string> rest;
  std::function<std::function<bool()>()> make;
  if (a[0] == "http") {
    int port = std::stoi(a[1]);
    std::string path = a[2];
    rest.assign(a.begin() + 3, a.end());
    make = [port, path] {
      auto client = std::make_shared<HttpClient>(port, path);
      return std::function<bool()>([client] { return client->Get(); });
    };
  } else if (a[0] == "spawn") {
    auto sep = std::find(a.begin(), a.end(), "--");
    if (sep == a.end()) return Usage();
    std::vector<std::string> program(a.begin() + 1, sep);
    rest.assign(sep + 1, a.end());
    make = [program] { return std::function<bool()>([program] { return SpawnOnce(program); }); };
  } else {
    return Usage();
  }
  if (rest.size() == 2 && rest[0] == "latency") {
    Latency(std::stoi(rest[1]), make);
  } else if (rest.size() == 3 && rest[0] == "rate") {
    Rate(std::stoi(rest[1]), std::stod(rest[2]), make);
  } else {
    return Usage();
  }
  return 0;
}

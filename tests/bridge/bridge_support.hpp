#pragma once
// Shared pieces of the bridge tests: fixture paths, console capture, a
// recorder of callbacks with waits, and process-table checks.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../platform/proc_table.hpp"
#include "platform/process.hpp"

namespace vexa::testing {

inline std::string FixtureDir() { return VEXA_BRIDGE_FIXTURES; }
inline std::string Php() {
  static const std::string php = platform::FindOnPath("php");
  return php;
}

// Everything written to standard output (fd 1) while it lives.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    std::fflush(stdout);
    char path[] = "/tmp/vexa-console-XXXXXX";
    fd_ = ::mkstemp(path);
    ::unlink(path);
    // Appending: reading it back (which moves the shared offset) from one
    // thread never makes another thread's line overwrite earlier output.
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_APPEND);
    saved_ = ::dup(1);
    ::dup2(fd_, 1);
  }
  ~ConsoleCapture() { Stop(); }
  std::string Text() {
    std::string out;
    char buf[4096];
    ssize_t n;
    ::lseek(fd_, 0, SEEK_SET);
    while ((n = ::read(fd_, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    return out;
  }
  bool Has(const std::string& line) { return Text().find(line + "\n") != std::string::npos; }
  // Restores the console and shows there what was captured (test failures
  // reported meanwhile included).
  void Stop() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
    std::string text = Text();
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

 private:
  int fd_ = -1;
  int saved_ = -1;
};

// Collects callbacks from any thread and lets the test wait for them.
struct Recorder {
  struct Piece {
    std::string text;
    bool isJson, isItem;
    std::string envelope;
  };
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> out, err;
  std::vector<std::string> both;  // every line as "out:" or "err:" + line, in arrival order
  std::vector<Piece> data;
  int exits = 0;

  void Out(const std::string& l) { Add(out, l, "out:"); }
  void Err(const std::string& l) { Add(err, l, "err:"); }
  void Data(const std::string& envelope, const std::string& text, bool isJson, bool isItem) {
    std::lock_guard<std::mutex> lock(m);
    data.push_back({text, isJson, isItem, envelope});
    cv.notify_all();
  }
  void Exit() {
    std::lock_guard<std::mutex> lock(m);
    ++exits;
    cv.notify_all();
  }
  template <class Pred>
  bool WaitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(10000)) {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, limit, pred);
  }
  bool WaitExit() {
    return WaitUntil([this] { return exits > 0; });
  }
  size_t DataCount() {
    std::lock_guard<std::mutex> lock(m);
    return data.size();
  }

 private:
  void Add(std::vector<std::string>& v, const std::string& l, const char* tag) {
    std::lock_guard<std::mutex> lock(m);
    v.push_back(l);
    both.push_back(tag + l);
    cv.notify_all();
  }
};

// Processes whose command line contains `token` (the tests give each run a
// unique one), whatever their parent: an orphan shows up here too.
inline std::vector<pid_t> ProcessesWith(const std::string& token) {
  std::vector<pid_t> out;
  DIR* d = opendir("/proc");
  if (!d) return out;
  while (dirent* e = readdir(d)) {
    pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid <= 0 || pid == ::getpid()) continue;
    std::ifstream in(std::string("/proc/") + e->d_name + "/cmdline", std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    if (s.str().find(token) != std::string::npos) out.push_back(pid);
  }
  closedir(d);
  return out;
}

// No child of this test process left (zombie or not), no process with the
// token left anywhere.
inline void ExpectNoProcessesLeft(const std::string& token = "") {
  for (pid_t pid : ChildrenOf(::getpid()))
    ADD_FAILURE() << "child " << pid << " left, state " << ProcState(pid);
  if (!token.empty())
    for (pid_t pid : ProcessesWith(token)) ADD_FAILURE() << "process " << pid << " with " << token << " left";
}

inline std::string UniqueToken(const char* what) {
  static int n = 0;
  return std::string("vexatok-") + what + "-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

}  // namespace vexa::testing

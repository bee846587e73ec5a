#pragma once
// Console signals to an ordinary thread. SIGINT, SIGHUP and SIGTERM are
// recorded by an async-signal-safe handler (a byte into a self-pipe); a thread
// of the watcher reads the pipe and calls the callback there, where it may
// lock, allocate and print. SIGQUIT keeps its default. SIGPIPE is ignored for
// the whole process, so that a write to a closed socket or pipe is an error
// and not the end of the server.
//
// One watcher at a time: a second one raises std::logic_error.

#include <functional>
#include <thread>

namespace vexa::platform {

// Sets SIGPIPE to be ignored for the whole process (idempotent).
void IgnoreSigpipe();

class SignalWatcher {
 public:
  explicit SignalWatcher(std::function<void(int)> onSignal);
  // Restores the previous handlers of SIGINT, SIGHUP and SIGTERM and stops
  // the thread; a signal already recorded is still delivered first. SIGPIPE
  // stays ignored: a write during the rest of the shutdown must not kill us.
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  void Loop();
  std::function<void(int)> onSignal_;
  int pipe_[2] = {-1, -1};
  std::thread thread_;
};

}  // namespace vexa::platform

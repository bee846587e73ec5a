#pragma once
// TWorkerThread: a thread, created suspended with a 4 MiB stack, that runs one
// method once. An exception escaping the method is caught and kept; nothing is
// written. The owner frees it; freeing waits for a started thread to end, and a
// thread that never started is ended without running.

#include <pthread.h>

#include <atomic>
#include <exception>
#include <functional>

namespace vexa {

class TWorkerThread {
 public:
  static constexpr size_t StackSize = 4 * 1024 * 1024;

  explicit TWorkerThread(std::function<void()> proc);
  ~TWorkerThread();
  TWorkerThread(const TWorkerThread&) = delete;
  TWorkerThread& operator=(const TWorkerThread&) = delete;

  void Start();       // raises when the platform cannot create the thread
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  void WaitFor();     // returns at once for a thread that never started
  bool Started() const { return started_; }
  std::exception_ptr FatalException() const { return fatal_; }

 private:
  static void* ThreadMain(void* self);
  void Execute();

  std::function<void()> Proc;
  pthread_t thread_{};
  bool started_ = false;
  bool joined_ = false;
  std::atomic<bool> terminated_{false};
  std::exception_ptr fatal_;
};

}  // namespace vexa

#pragma once
// Child processes with pipes for their standard streams. The child is started
// with an explicit argv (never through a shell) and an explicit environment,
// in its own process group, with close-on-exec on every other descriptor, and
// it is killed when the server process dies. Every child is reaped.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

namespace vexa::platform {

struct SpawnOptions {
  std::string program;                 // a path, or a name looked up on PATH
  std::vector<std::string> args;       // argv[1..]
  std::vector<std::string> env;        // "NAME=value" entries, the whole environment
  bool pipeStdin = true;               // otherwise /dev/null
  bool pipeStdout = true;              // otherwise /dev/null
  bool pipeStderr = true;              // otherwise /dev/null, or see below
  bool inheritStderr = false;          // not piped: the server's own standard error
  std::string workdir;                 // empty: the server's current folder
};

class Process {
 public:
  // Starts the program; raises std::runtime_error with the system's message
  // when it cannot be started (a program that does not exist included).
  static std::unique_ptr<Process> Spawn(const SpawnOptions& options);
  ~Process();  // closes the pipes; kills and reaps a child that still runs
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t Pid() const { return pid_; }
  int StdinFd() const { return in_; }     // -1 when not piped or closed
  int StdoutFd() const { return out_; }
  int StderrFd() const { return err_; }
  void CloseStdin();
  void CloseStdout();
  void CloseStderr();

  // One write that never blocks (the pipe is made non-blocking for good):
  // the number of bytes taken, 0 when the pipe is full, -1 when it is closed
  // or broken.
  long WriteStdinSome(const void* data, size_t size);
  // Waits until the standard input pipe has room again, the child has ended
  // or `timeout` has passed; false once the child has ended or the pipe is
  // closed (nobody will read what is still to be written).
  bool WaitStdinRoom(std::chrono::milliseconds timeout);

  bool Running();                                   // not yet reaped and not ended
  int Wait();                                       // blocks; exit code, or 128+signal
  bool WaitFor(std::chrono::milliseconds timeout);  // true when it has ended
  int ExitCode() const { return exitCode_; }        // valid after the end was seen
  void Kill();                                      // SIGKILL to the child's process group

  // A descriptor that polls readable once the child has ended (it is not
  // reaped by that); -1 when the kernel offers none. Lets a pipe reader stop
  // waiting for an end of file that a grandchild holding the pipe would delay.
  int ExitFd() const { return exitFd_; }
  // Blocks until the child has ended, without reaping it.
  void WaitEnded();

 private:
  Process() = default;
  bool Reap(bool block);
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  int exitFd_ = -1;
  std::atomic<bool> reaped_{false};
  std::atomic<int> exitCode_{-1};
  std::mutex mutex_;   // guards reaped_/exitCode_ and the kill, so that a
                       // reaped (and maybe reused) pid is never signalled
  std::mutex inMutex_; // guards in_ against a close during a write
  bool inNonBlocking_ = false;  // guarded by inMutex_
};

// Starts the program detached from the server: in a session of its own, with
// /dev/null as its standard streams, not killed when the server dies, never
// waited for and never signalled. A short-lived intermediate child starts it
// and is reaped here at once, so the program's parent is the system's reaper
// and no zombie is left behind. Raises std::runtime_error like Spawn when the
// program cannot be started. The stream choices of `options` are ignored.
void SpawnDetached(const SpawnOptions& options);

// The server's own environment as "NAME=value" entries, in order.
std::vector<std::string> CurrentEnvironment();
// Bytes waiting in a pipe or socket (FIONREAD); 0 on error.
size_t BytesAvailable(int fd);
// The first executable named `name` on PATH, or "" when none.
std::string FindOnPath(const std::string& name);

}  // namespace vexa::platform

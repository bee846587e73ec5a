#pragma once
// TChildProcess: runs one external program as a child process on a thread of
// its own, with its standard input, output and error on pipes.
//
//  - OnOutput / OnError get every line of standard output / error, in the
//    order the child wrote them, on the run's one reader thread
//    (TReadOutputThread); never two at the same time.
//  - OnExit runs once, on the runner thread, after the last line of both
//    streams; its two texts are always empty (the readers deliver unfinished
//    last lines themselves). A program that cannot be started prints
//    "Error Process:- <message> cmd:- <exe>" and gives no OnExit.
//  - Write / WriteLine / Stop act only while the run is under way.
//  - Write never waits for the child to read: what the pipe does not take at
//    once waits in the run's input queue (TSendQueue), whose writer thread
//    (started by the first write that has to queue) drains it as the child
//    reads; each text goes in whole, a text begun before any other. A child
//    that lets more than kMaxQueuedInput bytes of such writes pile up is
//    stopped, with one console line. WriteWaiting instead waits on the
//    calling thread until the queue has room.
//
// Lifetime: create with Create(), set the callbacks, then Start(). While it
// runs, the runner thread holds a reference to its own object, so an owner
// may drop its reference at any time, including inside OnExit. The child is
// started and reaped on the runner thread, which outlives it: the child is
// killed if the server dies (it follows the thread that created it).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/process_slots.hpp"
#include "core/send_queue.hpp"

namespace vexa::platform {
class Process;
}

namespace vexa {

class TChildProcess : public std::enable_shared_from_this<TChildProcess> {
 public:
  // The line is the reader's own: a handler may take it.
  using LineEvent = std::function<void(std::string& line)>;
  using ExitEvent = std::function<void(const std::string& stdoutRest, const std::string& stderrRest)>;
  using TextList = std::optional<std::vector<std::string>>;

  // Params: the program's arguments; Env: entries added after the server's
  // own environment (an inherited entry of the same name stays, first).
  static std::shared_ptr<TChildProcess> Create(std::string exe, TextList params, TextList env);
  ~TChildProcess();
  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  // Starts the runner thread (once); raises when no thread can be created.
  void Start();
  // Hands the text to the child's standard input, whole and in the order of
  // the calls, never interleaved with another Write of this runner; returns
  // without waiting for the child to read it. Right after Start() it waits
  // until the child has been started; before Start(), after the end and
  // after Stop() it does nothing. A child that closed its input makes it
  // fail silently.
  void Write(std::string text);
  void WriteLine(const std::string& text);  // text + CR LF
  // Like Write, but a text that would take the queue past kMaxQueuedInput
  // waits on the calling thread until the child has read enough (a text of
  // any size is taken when nothing else waits), the run is over, or `gone`
  // (asked about every 100 ms) returns true; it never stops the child for
  // its size. A child that takes no byte of its input for InputStallLimit
  // meanwhile is stopped, with a console line. True when the text was taken.
  bool WriteWaiting(std::string text, const std::function<bool()>& gone);
  std::chrono::milliseconds InputStallLimit{60000};  // set before Start
  // Ends a child that is still alive (SIGKILL to its process group) and waits
  // for its end, at most 1000 ms. Only while the run is under way, so a
  // second Stop does nothing. The run then finishes as usual: OnExit still comes.
  void Stop();
  bool Running() const { return running_; }
  // Waits until the child has ended, at most `timeout`; true when it has (or
  // none runs). Any thread.
  bool WaitForEnd(std::chrono::milliseconds timeout);
  // Blocks until the run is over (OnExit returned, or the start failed).
  // Must not be called on the runner's own thread.
  void WaitFor();
  // The same, waiting at most `timeout`; true when the run is over.
  bool WaitFor(std::chrono::milliseconds timeout);
  bool Finished() const;
  // True on the runner's own thread and on its reader's thread, where
  // WaitFor() would wait for itself.
  bool IsRunnerThread() const;
  pid_t Pid() const;  // -1 when no child runs

  static constexpr size_t kMaxQueuedInput = size_t(64) << 20;

  static void DefaultOnLine(const std::string& line);
  static void DefaultOnExit(const std::string& stdoutRest, const std::string& stderrRest);

  const std::string Exe;
  const TextList Params;
  const TextList Env;
  LineEvent OnOutput = DefaultOnLine;
  LineEvent OnError = DefaultOnLine;
  ExitEvent OnExit = DefaultOnExit;
  // The server's process slot the child counts against, handed over before
  // Start(); given back once the child has been reaped or could not start.
  TProcessSlot Slot;

 private:
  TChildProcess(std::string exe, TextList params, TextList env);
  void Execute();
  void Run();
  std::shared_ptr<platform::Process> CurrentProcess() const;
  // The input queue of the running child, once its start was tried; null
  // when none runs.
  TSendQueue* InputForWrite();
  // Closes the input queue, prints why and stops the child; false.
  bool StopForInput(const std::string& why);
  void CloseInputAndJoin();  // the end of the run: no writer is left after it

  mutable std::mutex mutex_;   // guards process_ and the start/stop handshake
  std::condition_variable finishedCv_;  // spawned_ and finished_
  std::shared_ptr<platform::Process> process_;
  std::atomic<bool> running_{false};
  bool started_ = false;
  bool spawned_ = false;   // the start of the child was tried
  bool finished_ = false;
  std::thread thread_;

  // The child's standard input and its queue, made when the child has
  // started (under mutex_) and kept until the object goes.
  class TStdinSink;
  std::unique_ptr<TStdinSink> inSink_;
  std::unique_ptr<TSendQueue> input_;
};

}  // namespace vexa

#pragma once
// TReadOutputThread: reads a child process's standard output and error on one
// thread and hands on every line as soon as its LF has been read.
//
// Lines keep the child's bytes as they are, except that every CR is dropped
// (wherever it stands) and the LF ends the line. One thread reads both
// streams, so their lines arrive in the order the child wrote them: whenever
// error output is read, what the output pipe already holds is read and
// handed on first (a reply written before a warning is handled before it).
// The reader waits with poll() on both pipes and on the child's end: when the
// child has ended it reads what is still in the pipes and stops, even if a
// grandchild keeps them open. An unfinished last line of a stream is
// delivered at the end, without a line end (output first).

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace vexa::platform {
class Process;
}

namespace vexa {

class TReadOutputThread {
 public:
  using LineEvent = std::function<void(const std::string& line)>;

  TReadOutputThread(std::shared_ptr<platform::Process> process, LineEvent onOutput, LineEvent onError);
  ~TReadOutputThread();  // joins a started thread
  TReadOutputThread(const TReadOutputThread&) = delete;
  TReadOutputThread& operator=(const TReadOutputThread&) = delete;

  void Start();
  void WaitFor();  // returns once the last line of both streams has been delivered

 private:
  struct Stream {
    int fd = -1;  // -1 once at its end (or not piped)
    std::string partial;
    LineEvent onLine;
  };
  void Execute();
  // Reads what the stream's pipe holds, in blocks of up to 32768 bytes, and
  // splits it; marks the stream ended at the end of the pipe (or an error).
  void ReadAvailable(Stream& stream);
  static void Deliver(Stream& stream);

  std::shared_ptr<platform::Process> Process;
  Stream out_, err_;
  std::thread thread_;
};

}  // namespace vexa

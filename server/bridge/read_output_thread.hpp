#pragma once
// TReadOutputThread: reads one standard stream (output or error) of a child
// process and hands on every line as soon as its LF has been read.
//
// Lines keep the child's bytes as they are, except that every CR is dropped
// (wherever it stands) and the LF ends the line. The reader waits with poll()
// on the pipe and on the child's end: when the child has ended it reads what
// is still in the pipe and stops, even if a grandchild keeps the pipe open.
// An unfinished last line is delivered at the end, without a line end.

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

  TReadOutputThread(std::shared_ptr<platform::Process> process, LineEvent onLine, bool isStderr);
  ~TReadOutputThread();  // joins a started thread
  TReadOutputThread(const TReadOutputThread&) = delete;
  TReadOutputThread& operator=(const TReadOutputThread&) = delete;

  void Start();
  void WaitFor();  // returns once the last line has been delivered

 private:
  void Execute();
  // Reads what the pipe holds, in blocks of up to 32768 bytes, and splits it;
  // false once the pipe is at its end (or broken).
  bool ReadAvailable(int fd);
  void Deliver();

  std::shared_ptr<platform::Process> Process;
  std::string Partial;
  LineEvent OnLine;
  bool IsStderr;
  std::thread thread_;
};

}  // namespace vexa

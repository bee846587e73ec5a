#pragma once
// TReadOutputThread: reads a child process's standard output and error on one
// thread and hands on every line as soon as its LF has been read.
//
// Lines keep the child's bytes as they are, except that every CR is dropped
// (wherever it stands) and the LF ends the line. One thread reads both
// streams, and every block of error output read is handed on only after the
// output pipe was read once more: the output lines that the child wrote
// before an error line always come before it (a reply written before a
// warning is handled before it).
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
  // The line is the reader's own: a handler may take it (move or swap it out).
  using LineEvent = std::function<void(std::string& line)>;

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
  static constexpr size_t kBlock = 32768;

  void Execute();
  // Up to kBlock bytes of what the stream's pipe holds; 0 when it holds
  // nothing now or is at its end (which marks the stream ended).
  static long ReadBlock(Stream& stream, char* buf);
  // Adds bytes to the stream's line, handing on each finished line.
  static void Split(Stream& stream, const char* p, const char* end);
  void ReadOutput();  // all the output pipe holds
  void ReadError();   // all the error pipe holds, each block after ReadOutput
  static void Deliver(Stream& stream);

  std::shared_ptr<platform::Process> Process;
  Stream out_, err_;
  std::thread thread_;
};

}  // namespace vexa

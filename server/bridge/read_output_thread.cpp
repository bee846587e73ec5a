#include "server/bridge/read_output_thread.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/globals.hpp"
#include "platform/process.hpp"

namespace vexa {

TReadOutputThread::TReadOutputThread(std::shared_ptr<platform::Process> process, LineEvent onLine, bool isStderr)
    : Process(std::move(process)), OnLine(std::move(onLine)), IsStderr(isStderr) {}

TReadOutputThread::~TReadOutputThread() { WaitFor(); }

void TReadOutputThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TReadOutputThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TReadOutputThread::Deliver() {
  try {
    if (OnLine) OnLine(Partial);
  } catch (...) {
    WriteLine("CP callback Err");
  }
  Partial.clear();
}

bool TReadOutputThread::ReadAvailable(int fd) {
  static constexpr size_t kBlock = 32768;
  char buf[kBlock];
  for (;;) {
    ssize_t n = ::read(fd, buf, kBlock);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return true;  // all read for now
      WriteLine(std::string("Error Process Read: ") + std::strerror(errno));
      return false;
    }
    if (n == 0) return false;  // every writer has closed the pipe
    const char* p = buf;
    const char* end = buf + n;
    while (p < end) {
      // Copy runs of ordinary bytes at once; act on CR and LF.
      const char* stop = p;
      while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
      Partial.append(p, static_cast<size_t>(stop - p));
      if (stop == end) break;
      if (*stop == '\n') Deliver();
      p = stop + 1;
    }
  }
}

void TReadOutputThread::Execute() {
  Partial.clear();
  const int fd = IsStderr ? Process->StderrFd() : Process->StdoutFd();
  if (fd >= 0) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int exitFd = Process->ExitFd();
    bool open = true;
    while (open) {
      struct pollfd fds[2] = {{fd, POLLIN, 0}, {exitFd, POLLIN, 0}};
      int r = ::poll(fds, exitFd >= 0 ? 2 : 1, -1);
      if (r < 0) {
        if (errno == EINTR) continue;
        WriteLine(std::string("Error Process Read: ") + std::strerror(errno));
        break;
      }
      if (fds[0].revents) open = ReadAvailable(fd);
      if (open && exitFd >= 0 && fds[1].revents) {
        // The child has ended: everything it wrote is in the pipe now. Read
        // that and stop; a grandchild still holding the pipe does not count.
        ReadAvailable(fd);
        open = false;
      }
    }
  }
  if (!Partial.empty()) Deliver();
}

}  // namespace vexa

#include "server/bridge/read_output_thread.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/globals.hpp"
#include "platform/process.hpp"

namespace vexa {

TReadOutputThread::TReadOutputThread(std::shared_ptr<platform::Process> process, LineEvent onOutput,
                                     LineEvent onError)
    : Process(std::move(process)) {
  out_.onLine = std::move(onOutput);
  err_.onLine = std::move(onError);
}

TReadOutputThread::~TReadOutputThread() { WaitFor(); }

void TReadOutputThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TReadOutputThread::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TReadOutputThread::Deliver(Stream& stream) {
  try {
    if (stream.onLine) stream.onLine(stream.partial);
  } catch (...) {
    WriteLine("CP callback Err");
  }
  // A long line's room is not kept for the next ones.
  if (stream.partial.capacity() > 2 * kBlock)
    std::string().swap(stream.partial);
  else
    stream.partial.clear();
}

long TReadOutputThread::ReadBlock(Stream& stream, char* buf) {
  while (stream.fd >= 0) {
    const ssize_t n = ::read(stream.fd, buf, kBlock);
    if (n > 0) return static_cast<long>(n);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;  // all read for now
      WriteLine(std::string("Error Process Read: ") + std::strerror(errno));
    }
    stream.fd = -1;  // at its end: every writer has closed the pipe (or it broke)
  }
  return 0;
}

void TReadOutputThread::Split(Stream& stream, const char* p, const char* end) {
  while (p < end) {
    // Copy runs of ordinary bytes at once; act on CR and LF.
    const char* stop = p;
    while (stop < end && *stop != '\n' && *stop != '\r') ++stop;
    stream.partial.append(p, static_cast<size_t>(stop - p));
    if (stop == end) break;
    if (*stop == '\n') Deliver(stream);
    p = stop + 1;
  }
}

void TReadOutputThread::ReadOutput() {
  char buf[kBlock];
  while (const long n = ReadBlock(out_, buf)) Split(out_, buf, buf + n);
}

void TReadOutputThread::ReadError() {
  // Each block of error output is handed on only after the output pipe was
  // read once more: whatever the child wrote there before that block is in
  // the pipe by then.
  char buf[kBlock];
  while (const long n = ReadBlock(err_, buf)) {
    ReadOutput();
    Split(err_, buf, buf + n);
  }
}

void TReadOutputThread::Execute() {
  out_.fd = Process->StdoutFd();
  err_.fd = Process->StderrFd();
  for (Stream* s : {&out_, &err_})
    if (s->fd >= 0) ::fcntl(s->fd, F_SETFL, ::fcntl(s->fd, F_GETFL) | O_NONBLOCK);
  const int exitFd = Process->ExitFd();
  while (out_.fd >= 0 || err_.fd >= 0) {
    // A stream at its end has -1, which poll() passes over.
    struct pollfd fds[3] = {{out_.fd, POLLIN, 0}, {err_.fd, POLLIN, 0}, {exitFd, POLLIN, 0}};
    int r = ::poll(fds, exitFd >= 0 ? 3 : 2, -1);
    if (r < 0) {
      if (errno == EINTR) continue;
      WriteLine(std::string("Error Process Read: ") + std::strerror(errno));
      break;
    }
    const bool ended = exitFd >= 0 && fds[2].revents;
    if (fds[0].revents || ended) ReadOutput();
    if (fds[1].revents || ended) ReadError();
    if (ended) {
      // The child has ended: everything it wrote was read just now; a
      // grandchild still holding a pipe does not count.
      out_.fd = err_.fd = -1;
    }
  }
  if (!out_.partial.empty()) Deliver(out_);
  if (!err_.partial.empty()) Deliver(err_);
}

}  // namespace vexa

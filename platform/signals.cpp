#include "platform/signals.hpp"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <iterator>
#include <string>

namespace vexa::platform {

namespace {

constexpr int kWatched[] = {SIGINT, SIGHUP, SIGTERM};
std::atomic<int> gWriteFd{-1};
struct sigaction gOld[sizeof kWatched / sizeof kWatched[0]];

extern "C" void OnSignal(int sig) {
  int saved = errno;
  int fd = gWriteFd.load();
  if (fd >= 0) {
    unsigned char b = static_cast<unsigned char>(sig);
    ssize_t ignored = ::write(fd, &b, 1);
    (void)ignored;
  }
  errno = saved;
}

}  // namespace

void IgnoreSigpipe() {
  struct sigaction ign{};
  ign.sa_handler = SIG_IGN;
  ::sigemptyset(&ign.sa_mask);
  ::sigaction(SIGPIPE, &ign, nullptr);
}

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
  if (::pipe2(pipe_, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("signal pipe: ") + std::strerror(errno));
  // The handler must never block: a full pipe just drops the extra signal.
  ::fcntl(pipe_[1], F_SETFL, ::fcntl(pipe_[1], F_GETFL) | O_NONBLOCK);
  int expected = -1;
  if (!gWriteFd.compare_exchange_strong(expected, pipe_[1])) {
    ::close(pipe_[0]);
    ::close(pipe_[1]);
    throw std::logic_error("only one SignalWatcher at a time");
  }
  IgnoreSigpipe();
  thread_ = std::thread([this] { Loop(); });
  struct sigaction sa{};
  sa.sa_handler = OnSignal;
  ::sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (size_t i = 0; i < std::size(kWatched); ++i) ::sigaction(kWatched[i], &sa, &gOld[i]);
}

SignalWatcher::~SignalWatcher() {
  for (size_t i = 0; i < std::size(kWatched); ++i) ::sigaction(kWatched[i], &gOld[i], nullptr);
  gWriteFd.store(-1);
  // Blocking now, so that the stop byte gets through even behind a full pipe.
  ::fcntl(pipe_[1], F_SETFL, ::fcntl(pipe_[1], F_GETFL) & ~O_NONBLOCK);
  unsigned char stop = 0;  // no signal has number 0
  while (::write(pipe_[1], &stop, 1) < 0 && errno == EINTR) {
  }
  if (thread_.joinable()) thread_.join();
  ::close(pipe_[0]);
  ::close(pipe_[1]);
}

void SignalWatcher::Loop() {
  for (;;) {
    unsigned char b = 0;
    ssize_t n = ::read(pipe_[0], &b, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || b == 0) return;
    if (onSignal_) {
      try {
        onSignal_(b);
      } catch (...) {
        // A failing callback must not end the watcher or the process.
      }
    }
  }
}

}  // namespace vexa::platform

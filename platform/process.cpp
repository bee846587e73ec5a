#include "platform/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vexa::platform {

namespace {

std::string SysError(const std::string& what, int err) {
  return what + ": " + std::strerror(err);
}

void CloseFd(int& fd) {
  if (fd >= 0) {
    ::close(fd);
    fd = -1;
  }
}

// Both ends close-on-exec; the child dup2()s its end onto 0/1/2, which clears
// the flag for that copy only.
void MakePipe(int fds[2]) {
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(SysError("pipe", errno));
}

bool IsExecutableFile(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0) {
    ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
    return static_cast<int>(fd);
  }
#else
  (void)pid;
#endif
  return -1;
}

// Marks (or, on old kernels, closes) every descriptor from 3 up except `keep`.
// Runs in the forked child: only async-signal-safe calls.
void SealDescriptors(int keep, long maxFd) {
#if defined(SYS_close_range)
#ifndef CLOSE_RANGE_CLOEXEC
#define CLOSE_RANGE_CLOEXEC (1U << 2)
#endif
  if (::syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
  if (keep > 3 && ::syscall(SYS_close_range, 3U, static_cast<unsigned>(keep - 1), 0U) == 0 &&
      ::syscall(SYS_close_range, static_cast<unsigned>(keep + 1), ~0U, 0U) == 0)
    return;
#endif
  for (long fd = 3; fd < maxFd; ++fd)
    if (fd != keep) ::close(static_cast<int>(fd));
}

[[noreturn]] void ChildFail(int errPipe, int err) {
  ssize_t ignored = ::write(errPipe, &err, sizeof err);
  (void)ignored;
  ::_exit(127);
}

// What the child needs between vfork and execve, all prepared beforehand.
struct ChildSetup {
  const char* exe;
  char* const* argv;
  char* const* envp;
  int in, out, err;  // become 0, 1, 2
  int report;        // the exec-error pipe
  long maxFd;
  pid_t parent;
  const char* workdir;  // nullptr: stay
  bool detach;          // start the program from a grandchild in a session of its own
};

// The child's side, up to execve: own process group, killed with the thread
// that started it, default signal state, the three pipes on 0/1/2 and
// nothing else open. It shares the server's memory (vfork), so it makes
// straight system calls only: no library bookkeeping (a sanitizer's handler
// table, say) may change here.
// A detached start forks once more (a raw clone: a copy of the memory, so
// the vfork child can end at once and hand the server its thread back); the
// grandchild makes a session of its own and goes on to execve, and nothing
// ties it to the server's life.
[[noreturn]] void ChildSide(const ChildSetup& c) {
  struct {
    void* handler;
    unsigned long flags;
    void* restorer;
    unsigned long mask;
  } dfl{};  // SIG_DFL, as the kernel takes it
  for (int s = 1; s < NSIG; ++s) ::syscall(SYS_rt_sigaction, s, &dfl, nullptr, sizeof dfl.mask);
  unsigned long none = 0;
  ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
  if (c.detach) {
    const long grandchild = ::syscall(SYS_clone, static_cast<long>(SIGCHLD), 0L, 0L, 0L, 0L);
    if (grandchild < 0) ChildFail(c.report, errno);
    if (grandchild > 0) ::_exit(0);
    if (::syscall(SYS_setsid) < 0) ChildFail(c.report, errno);
  } else {
    ::setpgid(0, 0);
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) ChildFail(c.report, errno);
    if (::getppid() != c.parent) ::_exit(127);  // the parent already went away
  }
  // Move the descriptors out of the way of 0/1/2 first, so that one dup2
  // cannot overwrite a source still needed by the next.
  int src[3] = {c.in, c.out, c.err};
  for (int i = 0; i < 3; ++i) {
    if (src[i] < 3) {
      int moved = ::fcntl(src[i], F_DUPFD_CLOEXEC, 3);
      if (moved < 0) ChildFail(c.report, errno);
      src[i] = moved;
    }
  }
  for (int i = 0; i < 3; ++i)
    if (::dup2(src[i], i) < 0) ChildFail(c.report, errno);
  if (c.workdir && ::chdir(c.workdir) != 0) ChildFail(c.report, errno);
  SealDescriptors(c.report, c.maxFd);
  ::execve(c.exe, c.argv, c.envp);
  ChildFail(c.report, errno);
}

// vfork: the child borrows the parent's memory until execve, so no page
// tables are copied (fork() in a server with many threads costs about a third
// of the page throughput). The calling thread waits until the child has
// called execve or _exit. The caller blocks every signal around this call, so
// that no handler of the server can run in the child before it has reset them.
// Returns the child's pid, or -1 with errno.
__attribute__((noinline)) pid_t StartChild(const ChildSetup* setup) {
  pid_t pid = ::vfork();
  if (pid == 0) ChildSide(*setup);
  return pid;
}

}  // namespace

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
  return env;
}

size_t BytesAvailable(int fd) {
  int n = 0;
  if (fd < 0 || ::ioctl(fd, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<size_t>(n);
}

std::string FindOnPath(const std::string& name) {
  if (name.empty()) return "";
  if (name.find('/') != std::string::npos) return IsExecutableFile(name) ? name : "";
  const char* path = ::getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    // An empty PATH element stands for the current folder.
    std::string candidate = end > start ? dirs.substr(start, end - start) + "/" + name : "./" + name;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return "";
}

namespace {

// Reads the exec-error pipe to its end and closes it: 0 once the child's
// execve succeeded (the pipe is close-on-exec), else the errno it failed with.
int ReadExecError(int& fd) {
  int childErrno = 0;
  ssize_t n;
  do {
    n = ::read(fd, &childErrno, sizeof childErrno);
  } while (n < 0 && errno == EINTR);
  CloseFd(fd);
  return n == static_cast<ssize_t>(sizeof childErrno) ? childErrno : 0;
}

// The program, argv and environment of a child, all built before vfork():
// after it, the child may only make async-signal-safe calls. Resolving the
// program first makes a missing program an error of the spawn, never a child
// that exits with 127.
class ExecImage {
 public:
  explicit ExecImage(const SpawnOptions& options) : args_(1, options.program), env_(options.env) {
    exe = FindOnPath(options.program);
    if (exe.empty()) {
      int err = options.program.find('/') != std::string::npos && ::access(options.program.c_str(), F_OK) == 0
                    ? EACCES
                    : ENOENT;
      throw std::runtime_error(SysError(options.program, err));
    }
    args_.insert(args_.end(), options.args.begin(), options.args.end());
    for (auto& a : args_) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env_) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
  ExecImage(const ExecImage&) = delete;
  ExecImage& operator=(const ExecImage&) = delete;

  std::string exe;
  std::vector<char*> argv;
  std::vector<char*> envp;

 private:
  std::vector<std::string> args_;
  std::vector<std::string> env_;
};

}  // namespace

std::unique_ptr<Process> Process::Spawn(const SpawnOptions& options) {
  const ExecImage image(options);
  const std::string& exe = image.exe;
  char* const* argv = image.argv.data();
  char* const* envp = image.envp.data();

  int inPipe[2] = {-1, -1}, outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, execPipe[2] = {-1, -1};
  int nullFd = -1;
  auto closeAll = [&] {
    for (int* p : {inPipe, outPipe, errPipe, execPipe}) {
      CloseFd(p[0]);
      CloseFd(p[1]);
    }
    CloseFd(nullFd);
  };
  try {
    if (options.pipeStdin) MakePipe(inPipe);
    if (options.pipeStdout) MakePipe(outPipe);
    if (options.pipeStderr) MakePipe(errPipe);
    MakePipe(execPipe);
    if (!options.pipeStdin || !options.pipeStdout || !options.pipeStderr) {
      nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
      if (nullFd < 0) throw std::runtime_error(SysError("/dev/null", errno));
    }
  } catch (...) {
    closeAll();
    throw;
  }
  const int childIn = options.pipeStdin ? inPipe[0] : nullFd;
  const int childOut = options.pipeStdout ? outPipe[1] : nullFd;
  // The server's own standard error only while it is open: a closed one
  // would fail the child's dup2.
  const bool ownErr = !options.pipeStderr && options.inheritStderr && ::fcntl(STDERR_FILENO, F_GETFD) >= 0;
  const int childErr = options.pipeStderr ? errPipe[1] : ownErr ? STDERR_FILENO : nullFd;
  const long maxFd = std::min<long>(::sysconf(_SC_OPEN_MAX) > 0 ? ::sysconf(_SC_OPEN_MAX) : 1024, 65536);
  const pid_t parent = ::getpid();
  const char* workdir = options.workdir.empty() ? nullptr : options.workdir.c_str();

  // vfork: the child borrows the parent's memory until execve, so no page
  // tables are copied; fork() in a server with many threads costs about a
  // third of the page throughput. The calling thread is suspended until the
  // child has called execve or _exit. Signals stay blocked across the call,
  // so that no handler of the server can run in the child before the child
  // has reset them all.
  // Signals stay blocked on this thread while the child borrows its memory.
  sigset_t all, saved;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  const ChildSetup setup{exe.c_str(), argv, envp, childIn, childOut, childErr, execPipe[1],
                         maxFd, parent, workdir, false};
  pid_t pid = StartChild(&setup);
  if (pid < 0) {
    int err = errno;
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    closeAll();
    throw std::runtime_error(SysError("fork", err));
  }

  // The parent. Setting the group here as well closes the window in which a
  // Kill() could reach the child before its own setpgid().
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  ::setpgid(pid, pid);
  CloseFd(execPipe[1]);
  if (options.pipeStdin) CloseFd(inPipe[0]);
  if (options.pipeStdout) CloseFd(outPipe[1]);
  if (options.pipeStderr) CloseFd(errPipe[1]);
  CloseFd(nullFd);

  const int childErrno = ReadExecError(execPipe[0]);

  std::unique_ptr<Process> proc(new Process());
  proc->pid_ = pid;
  proc->in_ = inPipe[1];
  proc->out_ = outPipe[0];
  proc->err_ = errPipe[0];
  if (childErrno != 0) {
    // exec failed: the child has exited already; reap it and report.
    proc->Wait();
    throw std::runtime_error(SysError(options.program, childErrno));
  }
  proc->exitFd_ = OpenPidFd(pid);
  return proc;
}

void SpawnDetached(const SpawnOptions& options) {
  const ExecImage image(options);
  int execPipe[2] = {-1, -1};
  MakePipe(execPipe);
  int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (nullFd < 0) {
    const int err = errno;
    CloseFd(execPipe[0]);
    CloseFd(execPipe[1]);
    throw std::runtime_error(SysError("/dev/null", err));
  }
  const long maxFd = std::min<long>(::sysconf(_SC_OPEN_MAX) > 0 ? ::sysconf(_SC_OPEN_MAX) : 1024, 65536);
  const char* workdir = options.workdir.empty() ? nullptr : options.workdir.c_str();

  sigset_t all, saved;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &saved);
  const ChildSetup setup{image.exe.c_str(), image.argv.data(), image.envp.data(), nullFd, nullFd, nullFd,
                         execPipe[1], maxFd, ::getpid(), workdir, true};
  const pid_t middle = StartChild(&setup);
  const int forkErr = errno;
  ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  CloseFd(execPipe[1]);
  CloseFd(nullFd);
  if (middle < 0) {
    CloseFd(execPipe[0]);
    throw std::runtime_error(SysError("fork", forkErr));
  }
  // The intermediate child has ended by now (vfork returns once it has):
  // reap it, so that it leaves no zombie.
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }

  // End of file once the grandchild's execve succeeded (the pipe is
  // close-on-exec); an errno when the grandchild or the fork of it failed.
  const int childErrno = ReadExecError(execPipe[0]);
  if (childErrno != 0) throw std::runtime_error(SysError(options.program, childErrno));
}

Process::~Process() {
  if (pid_ > 0 && !reaped_) {
    Kill();
    Wait();
  }
  CloseStdin();
  CloseStdout();
  CloseStderr();
  CloseFd(exitFd_);
}

void Process::CloseStdin() {
  std::lock_guard<std::mutex> lock(inMutex_);
  CloseFd(in_);
}
void Process::CloseStdout() { CloseFd(out_); }
void Process::CloseStderr() { CloseFd(err_); }

namespace {

// A write into a pipe whose reader has gone raises SIGPIPE; this keeps it
// from the process whatever the process-wide disposition is.
class PipeSignalBlock {
 public:
  PipeSignalBlock() {
    ::sigemptyset(&pipeSet_);
    ::sigaddset(&pipeSet_, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSet_, &old_);
    sigset_t pending;
    ::sigpending(&pending);
    wasPending_ = ::sigismember(&pending, SIGPIPE);
  }
  ~PipeSignalBlock() { ::pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
  // After a write failed with EPIPE: takes the SIGPIPE it raised.
  void Consume() {
    if (wasPending_) return;
    struct timespec zero{};
    ::sigtimedwait(&pipeSet_, nullptr, &zero);
  }

 private:
  sigset_t pipeSet_, old_;
  bool wasPending_ = false;
};

}  // namespace

long Process::WriteStdinSome(const void* data, size_t size) {
  std::lock_guard<std::mutex> lock(inMutex_);
  if (in_ < 0) return -1;
  if (!inNonBlocking_) {
    ::fcntl(in_, F_SETFL, ::fcntl(in_, F_GETFL) | O_NONBLOCK);
    inNonBlocking_ = true;
  }
  if (size == 0) return 0;
  PipeSignalBlock block;
  for (;;) {
    ssize_t n = ::write(in_, data, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno == EPIPE) block.Consume();
    return -1;
  }
}

bool Process::WaitStdinRoom(std::chrono::milliseconds timeout) {
  // Held across the wait, so that the descriptor cannot be closed (and its
  // number reused) meanwhile; only the destructor closes it.
  std::lock_guard<std::mutex> lock(inMutex_);
  if (in_ < 0 || reaped_) return false;
  // Without an end descriptor the caller's short slices notice the end.
  struct pollfd fds[2] = {{in_, POLLOUT, 0}, {exitFd_, POLLIN, 0}};
  int r;
  do {
    r = ::poll(fds, exitFd_ >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
  } while (r < 0 && errno == EINTR);
  if (r > 0 && exitFd_ >= 0 && fds[1].revents) return false;
  if (r > 0 && (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))) return false;
  return true;
}

bool Process::Reap(bool block) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (reaped_) return true;
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) {
    exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1;
    reaped_ = true;
    return true;
  }
  if (r < 0 && errno == ECHILD) {  // reaped behind our back (SIGCHLD ignored)
    reaped_ = true;
    return true;
  }
  return false;
}

void Process::WaitEnded() {
  if (reaped_ || pid_ <= 0) return;
  if (exitFd_ >= 0) {
    struct pollfd pfd{exitFd_, POLLIN, 0};
    while (::poll(&pfd, 1, -1) < 0 && errno == EINTR) {
    }
    return;
  }
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
}

bool Process::Running() {
  if (pid_ <= 0) return false;
  return !Reap(false);
}

int Process::Wait() {
  if (pid_ <= 0) return exitCode_;
  // Wait without holding the lock (so Kill stays possible), then reap.
  WaitEnded();
  Reap(true);
  return exitCode_;
}

bool Process::WaitFor(std::chrono::milliseconds timeout) {
  if (pid_ <= 0 || reaped_) return true;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  if (exitFd_ >= 0) {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      struct pollfd pfd{exitFd_, POLLIN, 0};
      int r = ::poll(&pfd, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
      if (r > 0) return Reap(true);
      if (r == 0) return Reap(false);
      if (errno != EINTR) break;
    }
  }
  // No pidfd: poll the child's state in short steps.
  auto step = std::chrono::microseconds(200);
  while (!Reap(false)) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    ::usleep(static_cast<useconds_t>(step.count()));
    if (step < std::chrono::milliseconds(10)) step *= 2;
  }
  return true;
}

void Process::Kill() {
  std::lock_guard<std::mutex> lock(mutex_);
  // Unreaped, the pid (and so the group id) cannot have been reused.
  if (pid_ <= 0 || reaped_) return;
  if (::kill(-pid_, SIGKILL) != 0) ::kill(pid_, SIGKILL);
}

}  // namespace vexa::platform

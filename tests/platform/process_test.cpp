#include "platform/process.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "proc_table.hpp"

using namespace vexa::platform;
using namespace std::chrono_literals;

namespace {

// Everything the child writes on fd until its end.
std::string ReadAll(int fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

SpawnOptions Sh(const std::string& script) {
  SpawnOptions o;
  o.program = "sh";
  o.args = {"-c", script};
  o.env = {"PATH=/usr/bin:/bin"};
  return o;
}

void ExpectNoChildren() {
  for (pid_t pid : vexa::testing::ChildrenOf(::getpid()))
    ADD_FAILURE() << "child " << pid << " left, state " << vexa::testing::ProcState(pid);
}

}  // namespace

TEST(Process, ArgvAndEnvironmentReachTheChildExactly) {
  SpawnOptions o;
  o.program = "printf";
  o.args = {"[%s]\n", "a b", "", "x=\"y\"", "$HOME;|&"};
  o.env = {"B=2", "A=1", "A=3", "WITH SPACE=v v"};
  auto p = Process::Spawn(o);
  EXPECT_EQ(ReadAll(p->StdoutFd()), "[a b]\n[]\n[x=\"y\"]\n[$HOME;|&]\n");
  EXPECT_EQ(p->Wait(), 0);

  o.program = "/usr/bin/env";  // prints the environment block as it was given
  o.args = {};
  auto e = Process::Spawn(o);
  EXPECT_EQ(ReadAll(e->StdoutFd()), "B=2\nA=1\nA=3\nWITH SPACE=v v\n");
  EXPECT_EQ(e->Wait(), 0);
  ExpectNoChildren();
}

TEST(Process, ExitCodesAndSignals) {
  auto p = Process::Spawn(Sh("exit 7"));
  EXPECT_EQ(p->Wait(), 7);
  EXPECT_EQ(p->ExitCode(), 7);
  EXPECT_FALSE(p->Running());
  EXPECT_EQ(p->Wait(), 7);  // a second wait is harmless

  auto k = Process::Spawn(Sh("kill -TERM $$"));
  EXPECT_EQ(k->Wait(), 128 + SIGTERM);
  ExpectNoChildren();
}

TEST(Process, MissingProgramRaisesInsteadOfStartingAChild) {
  SpawnOptions o;
  o.program = "no-such-program-vexa-test";
  EXPECT_THROW(Process::Spawn(o), std::runtime_error);
  o.program = "/nonexistent/dir/prog";
  try {
    Process::Spawn(o);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/dir/prog"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
  }
  o.program = "/etc/hostname";  // exists, not executable
  EXPECT_THROW(Process::Spawn(o), std::runtime_error);
  o.program = "sh";
  o.workdir = "/nonexistent-dir";  // fails in the child, reported through the exec pipe
  EXPECT_THROW(Process::Spawn(o), std::runtime_error);
  ExpectNoChildren();
}

TEST(Process, StandardStreamsRoundTripAndStayApart) {
  auto p = Process::Spawn(Sh("while read l; do echo \"out:$l\"; echo \"err:$l\" >&2; done; exit 3"));
  const std::string msg = "one\ntwo\n";
  ASSERT_EQ(p->WriteStdinSome(msg.data(), msg.size()), static_cast<long>(msg.size()));
  p->CloseStdin();
  EXPECT_EQ(p->WriteStdinSome("x", 1), -1);  // closed: refused, no crash
  EXPECT_FALSE(p->WaitStdinRoom(std::chrono::milliseconds(10)));
  EXPECT_EQ(ReadAll(p->StdoutFd()), "out:one\nout:two\n");
  EXPECT_EQ(ReadAll(p->StderrFd()), "err:one\nerr:two\n");
  EXPECT_EQ(p->Wait(), 3);
}

TEST(Process, WriteToAChildThatClosedItsInputFailsWithoutSignal) {
  auto p = Process::Spawn(Sh("exec 0<&-; sleep 0.05"));
  p->Wait();
  std::string big(1 << 16, 'x');
  EXPECT_EQ(p->WriteStdinSome(big.data(), big.size()), -1);  // EPIPE, and we are still here
}

TEST(Process, WaitForStdinRoomEndsWithTheChild) {
  auto p = Process::Spawn(Sh("sleep 0.4"));
  // Fill the pipe: the child never reads.
  std::string block(1 << 16, 'x');
  long taken;
  while ((taken = p->WriteStdinSome(block.data(), block.size())) > 0) {
  }
  ASSERT_EQ(taken, 0);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(p->WaitStdinRoom(std::chrono::milliseconds(100)));  // still full, still alive: the time ran out
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(90));
  // The child ends: the wait says so long before its time is up.
  const auto t1 = std::chrono::steady_clock::now();
  bool room = true;
  while (room && std::chrono::steady_clock::now() - t1 < std::chrono::seconds(10))
    room = p->WaitStdinRoom(std::chrono::seconds(10));
  EXPECT_FALSE(room);
  EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::seconds(5));
  p->Wait();
}

TEST(Process, OnlyTheThreeStandardDescriptorsAreInherited) {
  int stray[2];
  ASSERT_EQ(::pipe(stray), 0);  // deliberately without O_CLOEXEC
  auto p = Process::Spawn(Sh("ls /proc/self/fd"));
  std::string out = ReadAll(p->StdoutFd());
  p->Wait();
  ::close(stray[0]);
  ::close(stray[1]);
  // ls itself opens one descriptor for the listing, so 0 1 2 and that one.
  std::string fds;
  for (char c : out) fds += c == '\n' ? ' ' : c;
  EXPECT_EQ(fds, "0 1 2 3 ");
}

TEST(Process, KillEndsTheWholeProcessGroup) {
  auto p = Process::Spawn(Sh("sleep 30 & echo $!; wait"));
  std::string line;
  char c;
  while (::read(p->StdoutFd(), &c, 1) == 1 && c != '\n') line += c;
  pid_t grandchild = static_cast<pid_t>(std::stoi(line));
  ASSERT_TRUE(vexa::testing::Alive(grandchild));
  EXPECT_EQ(::getpgid(grandchild), p->Pid());  // the child leads its own group
  EXPECT_NE(::getpgid(p->Pid()), ::getpgrp());
  EXPECT_TRUE(p->Running());
  EXPECT_FALSE(p->WaitFor(20ms));
  p->Kill();
  EXPECT_TRUE(p->WaitFor(2000ms));
  EXPECT_EQ(p->ExitCode(), 128 + SIGKILL);
  for (int i = 0; i < 200 && vexa::testing::Alive(grandchild); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(vexa::testing::Alive(grandchild));
  p->Kill();  // after the reap: nothing to signal
  ExpectNoChildren();
}

TEST(Process, DestructorKillsAndReapsARunningChild) {
  pid_t pid;
  {
    auto p = Process::Spawn(Sh("sleep 30"));
    pid = p->Pid();
  }
  EXPECT_EQ(vexa::testing::ProcState(pid), 0);
  ExpectNoChildren();
}

namespace {

// The pid a detached program wrote into `file` (it has no pipe to us); the
// file appears whole, by a rename.
pid_t ReadPidFile(const std::string& file) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream in(file);
    std::string line;
    if (std::getline(in, line) && !line.empty()) return static_cast<pid_t>(std::stol(line));
    std::this_thread::sleep_for(10ms);
  }
  return -1;
}

}  // namespace

TEST(Process, DetachedProgramHasItsOwnSessionAndOutlivesItsStarter) {
  char dir[] = "/tmp/vexa-detach-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/pid";
  SpawnOptions o = Sh("echo $$ > " + file + ".tmp && mv " + file + ".tmp " + file + "; exec sleep 30");
  // Started from a thread that then ends: a child tied to its starter's life
  // (PR_SET_PDEATHSIG) would be killed right there.
  std::thread([&] { SpawnDetached(o); }).join();
  const pid_t pid = ReadPidFile(file);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(::getsid(pid), pid);  // a session (and process group) of its own
  EXPECT_NE(::getsid(pid), ::getsid(0));
  ExpectNoChildren();  // the intermediate child is reaped, the program is not ours
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(vexa::testing::Alive(pid));
  ::kill(pid, SIGKILL);
  ::unlink(file.c_str());
  ::rmdir(dir);

  o.program = "no-such-program-vexa-test";
  EXPECT_THROW(SpawnDetached(o), std::runtime_error);
  o.program = "sh";
  o.workdir = "/nonexistent-dir";  // fails in the grandchild, reported all the same
  EXPECT_THROW(SpawnDetached(o), std::runtime_error);
  ExpectNoChildren();
}

TEST(Process, InheritedStandardErrorIsTheServers) {
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(pipeFds[1], STDERR_FILENO);
  ::close(pipeFds[1]);
  SpawnOptions o = Sh("echo to-console >&2; echo to-null");
  o.pipeStdout = o.pipeStderr = false;
  o.inheritStderr = true;
  const int code = Process::Spawn(o)->Wait();
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(ReadAll(pipeFds[0]), "to-console\n");
  ::close(pipeFds[0]);
}

#include "server/bridge/child_process.hpp"

#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "bridge_support.hpp"

using namespace vexa;
using namespace vexa::testing;
using namespace std::chrono_literals;

namespace {

// After the tests (under ctest: after each test), no child of this process
// may be left, running or zombie.
class NoChildrenLeft : public ::testing::Environment {
 public:
  void TearDown() override { ExpectNoProcessesLeft(); }
};
const auto* const kNoChildrenLeft = ::testing::AddGlobalTestEnvironment(new NoChildrenLeft);

struct EmitRun {
  Recorder rec;
  std::shared_ptr<TChildProcess> cp;
  std::string token;

  EmitRun(const std::string& mode, std::vector<std::string> extra = {}) : token(UniqueToken("cp")) {
    std::vector<std::string> params = {FixtureDir() + "/emit.php", mode};
    params.insert(params.end(), extra.begin(), extra.end());
    params.push_back(token);
    cp = TChildProcess::Create(Php(), params, std::nullopt);
    cp->OnOutput = [this](const std::string& l) { rec.Out(l); };
    cp->OnError = [this](const std::string& l) { rec.Err(l); };
    cp->OnExit = [this](const std::string& a, const std::string& b) {
      EXPECT_EQ(a, "");
      EXPECT_EQ(b, "");
      std::lock_guard<std::mutex> lock(rec.m);
      exitOutCount = rec.out.size();
      exitErrCount = rec.err.size();
      ++rec.exits;
      rec.cv.notify_all();
    };
  }
  size_t exitOutCount = 0, exitErrCount = 0;
};

}  // namespace

TEST(ChildProcess, SplitsLinesOnLfDropsEveryCrAndDeliversTheUnfinishedLine) {
  EmitRun r("lines");
  r.cp->Start();
  r.cp->WaitFor();
  EXPECT_EQ(r.rec.out, (std::vector<std::string>{"a", "b", "xy", "", "", "last"}));
  EXPECT_TRUE(r.rec.err.empty());
  EXPECT_EQ(r.rec.exits, 1);
  EXPECT_EQ(r.exitOutCount, 6u);  // OnExit after the last line

  EmitRun s("split");
  s.cp->Start();
  s.cp->WaitFor();
  EXPECT_EQ(s.rec.out, (std::vector<std::string>{"partial", "next"}));
  ExpectNoProcessesLeft(r.token);
}

TEST(ChildProcess, LargeLineAndLargeOutputArriveIntact) {
  EmitRun r("big");
  r.cp->Start();
  r.cp->WaitFor();
  ASSERT_EQ(r.rec.out.size(), 1u + 10486u + 1u);
  EXPECT_EQ(r.rec.out[0], std::string(1 << 20, 'L'));
  std::string body;
  for (int i = 0; i < 99; ++i) body += "0123456789";
  for (size_t i = 0; i < 10486; ++i) {
    char num[16];
    std::snprintf(num, sizeof num, "%09zu", i);
    if (r.rec.out[i + 1] != num + body) {
      ADD_FAILURE() << "line " << i << " differs";
      break;
    }
  }
  EXPECT_EQ(r.rec.out.back(), "end");
  EXPECT_EQ(r.rec.exits, 1);
  ExpectNoProcessesLeft(r.token);
}

TEST(ChildProcess, OutputWrittenJustBeforeTheEndIsDelivered) {
  for (int i = 0; i < 5; ++i) {
    EmitRun r("lastinstant");
    r.cp->Start();
    r.cp->WaitFor();
    ASSERT_EQ(r.rec.out, std::vector<std::string>{std::string(100000, 'z')}) << "run " << i;
    EXPECT_EQ(r.rec.exits, 1);
  }
  ExpectNoProcessesLeft();
}

TEST(ChildProcess, StandardErrorGoesOnlyToOnError) {
  EmitRun r("stderr");
  r.cp->Start();
  r.cp->WaitFor();
  EXPECT_EQ(r.rec.out, std::vector<std::string>{"out"});
  EXPECT_EQ(r.rec.err, (std::vector<std::string>{"err one", "err two", "tail"}));
  EXPECT_EQ(r.exitErrCount, 3u);
}

TEST(ChildProcess, AnErrorLineComesAfterTheOutputWrittenBeforeIt) {
  // o0 e0 o1 e1 ...: every error line is delivered after the output lines
  // the child wrote before it (two pipes cannot tell whether an output line
  // came after it, so later output may come first).
  for (int run = 0; run < 5; ++run) {
    EmitRun r("interleave");
    r.cp->Start();
    r.cp->WaitFor();
    ASSERT_EQ(r.rec.both.size(), 400u);
    size_t outs = 0, errs = 0;
    for (const std::string& line : r.rec.both) {
      if (line.rfind("out:", 0) == 0) {
        EXPECT_EQ(line, "out:o" + std::to_string(outs++));
      } else {
        EXPECT_EQ(line, "err:e" + std::to_string(errs));
        ASSERT_GT(outs, errs) << "run " << run << ": e" << errs << " came before o" << errs;
        ++errs;
      }
    }
  }
}

namespace {
// The ids of this process's threads named `name`, the calling thread left
// out. A new thread takes the name of the thread that creates it, so a name
// given to the calling thread for one call marks the threads that call
// started, and no other thread of the process (a sanitizer's own, say) counts.
std::vector<std::string> ThreadIdsNamed(const std::string& name) {
  std::vector<std::string> ids;
  const std::string self = std::to_string(::gettid());
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.' || self == e->d_name) continue;
      std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
      std::string line;
      if (std::getline(comm, line) && line == name) ids.push_back(e->d_name);
    }
    closedir(d);
  }
  return ids;
}
size_t ThreadsNamed(const std::string& name) { return ThreadIdsNamed(name).size(); }

// Runs f on the calling thread named `name` (at most 15 bytes), then gives
// the thread its own name back.
template <class F>
void CallNamed(const char* name, F f) {
  char own[16] = {};
  pthread_getname_np(pthread_self(), own, sizeof own);
  pthread_setname_np(pthread_self(), name);
  f();
  pthread_setname_np(pthread_self(), own);
}
}  // namespace

TEST(ChildProcess, ARunThatNeverQueuesInputHasNoWriterThread) {
  EmitRun r("hold");  // never reads its standard input
  std::thread([] {}).join();  // a sanitizer's helper thread, started with the first thread, is there now
  CallNamed("vx-start", [&] { r.cp->Start(); });
  ASSERT_TRUE(r.rec.WaitUntil([&] { return !r.rec.out.empty(); }));
  EXPECT_LE(ThreadsNamed("vx-start"), 2u);  // the runner and its one reader
  // Into the pipe at once: no writer.
  CallNamed("vx-fits", [&] { r.cp->Write("fits into the pipe\n"); });
  EXPECT_EQ(ThreadsNamed("vx-fits"), 0u);
  // More than the pipe takes: queued, and the one writer starts.
  CallNamed("vx-queues", [&] { r.cp->Write(std::string(1 << 20, 'x')); });
  EXPECT_EQ(ThreadsNamed("vx-queues"), 1u);
  // Queued behind it: the same writer drains it.
  CallNamed("vx-queues-more", [&] { r.cp->Write(std::string(1 << 20, 'y')); });
  EXPECT_EQ(ThreadsNamed("vx-queues-more"), 0u);
  r.cp->Stop();
  r.cp->WaitFor();
  EXPECT_EQ(r.rec.exits, 1);
  r.cp.reset();  // joins the runner, which joined the writer
  // A joined thread may still be listed for a moment after its join.
  auto left = [] { return ThreadsNamed("vx-start") + ThreadsNamed("vx-queues"); };
  const auto end = std::chrono::steady_clock::now() + 5s;
  while (left() > 0 && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(left(), 0u);
  ExpectNoProcessesLeft(r.token);
}

// Starts a "hold" child, which never reads, and queues all but 1 MiB of the
// input bound for it in 1 MiB writes; returns the 1 MiB text.
std::string StartAndFillAllButOneMiB(EmitRun& r) {
  r.cp->Start();
  if (!r.rec.WaitUntil([&] { return !r.rec.out.empty(); })) ADD_FAILURE() << "the child never started";
  std::string mb(size_t(1) << 20, 'x');
  for (size_t i = 0; i + 1 < TChildProcess::kMaxQueuedInput >> 20; ++i) r.cp->Write(mb);
  return mb;
}

TEST(ChildProcess, WriteWaitingWaitsForRoomUntilTheCallerGivesUpOrTheRunEnds) {
  ConsoleCapture console;
  EmitRun r("hold");  // never reads its standard input
  const std::string mb = StartAndFillAllButOneMiB(r);
  // No room for 2 MiB more: the caller waits until it gives up.
  auto t0 = std::chrono::steady_clock::now();
  auto give_up = t0 + 300ms;
  EXPECT_FALSE(r.cp->WriteWaiting(mb + mb, [&] { return std::chrono::steady_clock::now() >= give_up; }));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  EXPECT_TRUE(r.cp->Running());  // waited, not stopped
  // The run ends while a caller waits: the wait ends with it.
  std::thread stopper([&] {
    std::this_thread::sleep_for(200ms);
    r.cp->Stop();
  });
  t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(r.cp->WriteWaiting(mb + mb, [] { return false; }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  stopper.join();
  r.cp->WaitFor();
  console.Stop();
  EXPECT_FALSE(console.Has("process stopped")) << console.Text();
  EXPECT_EQ(r.rec.exits, 1);
  ExpectNoProcessesLeft(r.token);
}

TEST(ChildProcess, WriteWaitingStopsAChildThatTakesNothingForTheStallLimit) {
  ConsoleCapture console;
  EmitRun r("hold");  // never reads its standard input
  r.cp->InputStallLimit = 300ms;
  const std::string mb = StartAndFillAllButOneMiB(r);
  // A caller whose client never says it left still gets its thread back.
  EXPECT_FALSE(r.cp->WriteWaiting(mb + mb, [] { return false; }));
  r.cp->WaitFor();
  console.Stop();
  EXPECT_NE(console.Text().find("its standard input took nothing for 300 ms, process stopped"), std::string::npos)
      << console.Text();
  EXPECT_EQ(r.rec.exits, 1);
  ExpectNoProcessesLeft(r.token);
}

TEST(ChildProcess, WriteWaitingTakesEveryTextOfAChildThatReadsSlowly) {
  // 3 x 24 MiB, more than the bound together: the third waits for room and
  // all reach the child, which reads after a pause.
  EmitRun r("count");
  r.cp->Start();
  const std::string big(size_t(24) << 20, 'y');
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(r.cp->WriteWaiting(big + "\n", [] { return false; })) << i;
  r.cp->WriteLine("end");
  r.cp->WaitFor();
  EXPECT_EQ(r.rec.out, (std::vector<std::string>{"25165825", "25165825", "25165825"}));
}

TEST(ChildProcess, ATextLargerThanTheBoundWaitsAndAChildReadingItSlowlyIsNotStalled) {
  // A 70 MiB text, more than the queue's bound alone, is taken into the
  // empty queue; an event written meanwhile does not stop the child (the
  // text waited for its room); a second text waits for room while the child
  // reads the first one slowly, over many stall limits: it is making
  // progress, and nothing is stopped.
  ConsoleCapture console;
  EmitRun r("slowcount");
  r.cp->InputStallLimit = 300ms;
  r.cp->Start();
  const std::string big(size_t(70) << 20, 'y');
  EXPECT_TRUE(r.cp->WriteWaiting(big + "\n", [] { return false; }));
  r.cp->Write("event\n");
  EXPECT_TRUE(r.cp->WriteWaiting("small\n", [] { return false; }));
  r.cp->WriteLine("end");
  r.cp->WaitFor();
  console.Stop();
  EXPECT_EQ(console.Text().find("process stopped"), std::string::npos) << console.Text();
  EXPECT_EQ(r.rec.out, (std::vector<std::string>{"73400321", "6", "6"}));
}

TEST(ChildProcess, WriteReachesTheChildAndNothingHappensAfterTheEnd) {
  EmitRun r("echo");
  r.cp->Write("before start\n");  // not running yet: dropped
  r.cp->Start();  // written at once: waits for the child rather than being lost
  std::string high = "\xC3\xA9\x80";  // bytes from 0x80 up pass unchanged
  r.cp->WriteLine("one" + high);
  r.cp->WriteLine("end");
  r.cp->WaitFor();
  EXPECT_EQ(r.rec.out.size(), 2u);
  if (r.rec.out.size() == 2) {
    EXPECT_EQ(r.rec.out[0], "6f6e65c3a9800d0a");  // "one", é, 0x80, CR LF
    EXPECT_EQ(r.rec.out[1], "656e640d0a");
  }
  EXPECT_FALSE(r.cp->Running());
  r.cp->WriteLine("after");  // the child is gone: nothing, no error
  r.cp->Stop();              // over already: nothing
  EXPECT_EQ(r.rec.exits, 1);
  ExpectNoProcessesLeft(r.token);
}

TEST(ChildProcess, QueuedWritesKeepTheirOrderWhenThePipeIsFull) {
  // 3 MB in lines from two threads: far more than the pipe holds, so most
  // of it waits in the queue; each thread's lines come back whole and in order.
  EmitRun r("echo");
  r.cp->Start();
  const std::string pad(1000, 'p');
  auto writeLines = [&](char tag) {
    for (int i = 0; i < 1500; ++i) r.cp->WriteLine(std::string(1, tag) + std::to_string(i) + pad);
  };
  std::thread other(writeLines, 'b');
  writeLines('a');
  other.join();
  r.cp->WriteLine("end");
  r.cp->WaitFor();
  ASSERT_EQ(r.rec.out.size(), 3001u);
  int next[2] = {0, 0};
  for (size_t i = 0; i + 1 < r.rec.out.size(); ++i) {
    std::string line;
    for (size_t k = 0; k + 1 < r.rec.out[i].size(); k += 2)
      line += static_cast<char>(std::stoi(r.rec.out[i].substr(k, 2), nullptr, 16));
    ASSERT_TRUE(line.size() > 2 && (line[0] == 'a' || line[0] == 'b')) << line.substr(0, 40);
    int& expected = next[line[0] - 'a'];
    EXPECT_EQ(line, std::string(1, line[0]) + std::to_string(expected) + pad + "\r\n");
    ++expected;
  }
  EXPECT_EQ(next[0], 1500);
  EXPECT_EQ(next[1], 1500);
}

TEST(ChildProcess, WritesNeverWaitForAChildThatDoesNotReadAndTooMuchInputStopsIt) {
  ConsoleCapture console;
  EmitRun r("hold");  // never reads its standard input
  // A write that waited for the child would never return here.
  const std::string mb = StartAndFillAllButOneMiB(r);
  EXPECT_TRUE(r.cp->Running());
  r.cp->Write(mb);
  r.cp->Write(mb);  // over the bound: the child is stopped
  EXPECT_FALSE(r.cp->Running());
  r.cp->WaitFor();
  console.Stop();
  EXPECT_EQ(r.rec.exits, 1);
  EXPECT_TRUE(console.Has("Error Process:- more than 64 MiB wait for its standard input, process stopped cmd:- " +
                          Php()))
      << console.Text();
  ExpectNoProcessesLeft(r.token);
}

TEST(ChildProcess, StopEndsAChildWithItsGrandchildrenAndOnExitStillComesOnce) {
  EmitRun r("hold");
  r.cp->Start();
  ASSERT_TRUE(r.rec.WaitUntil([&] { return !r.rec.out.empty(); }));
  pid_t child = 0, grandchild = 0;
  std::sscanf(r.rec.out[0].c_str(), "%d %d", &child, &grandchild);
  ASSERT_TRUE(Alive(grandchild));
  auto t0 = std::chrono::steady_clock::now();
  r.cp->Stop();
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, 1000ms);  // waits for the end, not a fixed pause
  r.cp->Stop();             // a second stop does nothing
  r.cp->WaitFor();
  EXPECT_EQ(r.rec.exits, 1);
  for (int i = 0; i < 200 && Alive(grandchild); ++i) std::this_thread::sleep_for(5ms);
  EXPECT_FALSE(Alive(grandchild));
  EXPECT_EQ(ProcState(child), 0);
  ExpectNoProcessesLeft(r.token);
}

TEST(ChildProcess, EndOfTheChildEndsTheRunEvenIfAGrandchildHoldsThePipe) {
  EmitRun r("orphan");
  auto t0 = std::chrono::steady_clock::now();
  r.cp->Start();
  r.cp->WaitFor();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 25000ms);  // not the grandchild's 50 s
  EXPECT_EQ(r.rec.exits, 1);
  ASSERT_EQ(r.rec.out.size(), 1u);
  pid_t grandchild = static_cast<pid_t>(std::stoi(r.rec.out[0]));
  ::kill(grandchild, SIGKILL);  // the orphan is ours to clean up here
  for (int i = 0; i < 500 && ProcState(grandchild) != 0; ++i) std::this_thread::sleep_for(2ms);
}

TEST(ChildProcess, MissingProgramPrintsTheErrorAndGivesNoExit) {
  ConsoleCapture console;
  Recorder rec;
  auto cp = TChildProcess::Create("/nonexistent/php-nope", std::vector<std::string>{"-v"}, std::nullopt);
  cp->OnExit = [&](const std::string&, const std::string&) { rec.Exit(); };
  cp->Start();
  cp->WaitFor();
  console.Stop();
  EXPECT_EQ(rec.exits, 0);
  EXPECT_TRUE(console.Has("Error Process:- /nonexistent/php-nope: No such file or directory cmd:- /nonexistent/php-nope"))
      << console.Text();
  EXPECT_FALSE(cp->Running());
}

namespace {
// Whether the thread `tid` of this process waits in poll() now.
bool WaitsInPoll(const std::string& tid) {
  std::ifstream in("/proc/self/task/" + tid + "/syscall");
  long number = -1;
  if (!(in >> number)) return false;  // "running"
#ifdef SYS_poll
  if (number == SYS_poll) return true;
#endif
  return number == SYS_ppoll;
}
}  // namespace

TEST(ChildProcess, TheSlotComesBackOnlyOnceTheChildHasBeenReaped) {
  // The child closes its output and error and lives on until it is told to
  // end: its reader finishes long before the child does, and the runner
  // then waits in poll() for the child's end. All that while the child
  // holds its slot; the slot comes back once the child has been reaped.
  TProcessLimits one;
  one.MaxProcesses = 1;
  one.MaxAppProcesses = 1;
  TProcessSlots slots(one);
  EmitRun r("closeout");
  r.cp->Slot = slots.TryTake(TProcessKind::Application);
  ASSERT_TRUE(r.cp->Slot);
  std::thread([] {}).join();  // a sanitizer's helper thread, started with the first thread, is there now
  CallNamed("vx-reap", [&] { r.cp->Start(); });
  ASSERT_TRUE(r.rec.WaitUntil([&] { return !r.rec.out.empty(); }));
  const pid_t child = static_cast<pid_t>(std::stoi(r.rec.out[0]));
  // The reader (the runner's only other thread) has ended and the runner
  // waits for the child.
  const auto end = std::chrono::steady_clock::now() + 60s;
  for (;;) {
    const std::vector<std::string> runner = ThreadIdsNamed("vx-reap");
    if (runner.size() == 1 && WaitsInPoll(runner[0])) break;
    ASSERT_LT(std::chrono::steady_clock::now(), end) << runner.size() << " threads of the run";
    std::this_thread::sleep_for(2ms);
  }
  EXPECT_TRUE(Alive(child));
  EXPECT_EQ(slots.InUse(), 1u);
  r.cp->WriteLine("end");
  r.cp->WaitFor();
  EXPECT_EQ(r.rec.exits, 1);
  EXPECT_EQ(slots.InUse(), 0u);
  EXPECT_EQ(ProcState(child), 0);
  ExpectNoProcessesLeft(r.token);
}

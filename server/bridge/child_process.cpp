#include "server/bridge/child_process.hpp"

#include <chrono>
#include <exception>

#include "core/globals.hpp"
#include "platform/process.hpp"
#include "server/bridge/read_output_thread.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa {

namespace {
// The runner whose threads (its own and its two readers) this thread is.
thread_local const TChildProcess* tRunnerOfThisThread = nullptr;
}  // namespace

std::shared_ptr<TChildProcess> TChildProcess::Create(std::string exe, TextList params, TextList env) {
  return std::shared_ptr<TChildProcess>(new TChildProcess(std::move(exe), std::move(params), std::move(env)));
}

TChildProcess::TChildProcess(std::string exe, TextList params, TextList env)
    : Exe(std::move(exe)), Params(std::move(params)), Env(std::move(env)) {}

TChildProcess::~TChildProcess() {
  Stop();
  if (thread_.joinable()) {
    // The last reference goes either on the runner thread itself, as its very
    // last act, or elsewhere after the runner has let go of the object.
    if (std::this_thread::get_id() == thread_.get_id())
      thread_.detach();
    else
      thread_.join();
  }
}

void TChildProcess::Start() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (started_) return;
  // The thread keeps its own object alive until the run is over.
  thread_ = std::thread([self = shared_from_this()]() mutable {
    self->Execute();
    self.reset();
  });
  started_ = true;
  running_ = true;  // from here on the run is under way; Write waits for the child
}

bool TChildProcess::IsRunnerThread() const { return tRunnerOfThisThread == this; }

bool TChildProcess::Finished() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

void TChildProcess::WaitFor() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!started_) return;
  finishedCv_.wait(lock, [this] { return finished_; });
}

bool TChildProcess::WaitFor(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !started_ || finishedCv_.wait_for(lock, timeout, [this] { return finished_; });
}

bool TChildProcess::WaitForEnd(std::chrono::milliseconds timeout) {
  auto p = CurrentProcess();
  return !p || p->WaitFor(timeout);
}

pid_t TChildProcess::Pid() const {
  auto p = CurrentProcess();
  return p ? p->Pid() : -1;
}

std::shared_ptr<platform::Process> TChildProcess::CurrentProcess() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return process_;
}

void TChildProcess::Execute() {
  tRunnerOfThisThread = this;
  try {
    Run();
  } catch (const std::exception& e) {
    vexa::WriteLine("CP Exit Error: " + ConsoleQuote(e.what()));
  } catch (...) {
    vexa::WriteLine("CP Exit Error: unknown error");
  }
  Slot.Release();  // also when the start failed
  std::lock_guard<std::mutex> lock(mutex_);
  spawned_ = true;  // also when Run returned early
  finished_ = true;
  finishedCv_.notify_all();
}

void TChildProcess::Run() {
  // Start() runs this once and has set running_; a Stop() since then shows
  // as running_ false and ends the child as soon as it exists.
  std::shared_ptr<platform::Process> proc;
  try {
    platform::SpawnOptions options;
    options.program = Exe;
    if (Params) options.args = *Params;
    options.env = platform::CurrentEnvironment();
    if (Env) options.env.insert(options.env.end(), Env->begin(), Env->end());
    try {
      proc = platform::Process::Spawn(options);
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex_);
      spawned_ = true;
      finishedCv_.notify_all();
      throw;
    }
    bool stoppedMeanwhile;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      process_ = proc;
      spawned_ = true;
      stoppedMeanwhile = !running_;
      finishedCv_.notify_all();
    }
    if (stoppedMeanwhile) proc->Kill();

    {
      // The input writer (started by the first write that has to queue) is
      // joined on every way out of this block, after the input queue was
      // closed: before OnExit, so a finished run has no thread left.
      struct WriterJoin {
        TChildProcess* self;
        ~WriterJoin() { self->CloseInputAndJoin(); }
      } writerJoin{this};

      auto mark = [this](const LineEvent& onLine) {
        return [this, onLine](std::string& line) {
          tRunnerOfThisThread = this;
          if (onLine) onLine(line);
        };
      };
      {
        TReadOutputThread reader(proc, mark(OnOutput), mark(OnError));
        reader.Start();
        reader.WaitFor();
      }
      // Both streams are finished: reap the child (it has ended or is about to).
      proc->Wait();
      Slot.Release();
    }
    running_ = false;
    if (OnExit) OnExit("", "");
  } catch (const std::exception& e) {
    vexa::WriteLine("Error Process:- " + ConsoleQuote(e.what()) + " cmd:- " + ConsoleQuote(Exe));
  }
  CloseInputAndJoin();  // also when the start failed
  std::lock_guard<std::mutex> lock(mutex_);
  process_.reset();
  running_ = false;
}

void TChildProcess::Write(std::string text) { Enqueue(std::move(text), nullptr); }

bool TChildProcess::WriteWaiting(std::string text, const std::function<bool()>& gone) {
  return Enqueue(std::move(text), &gone);
}

bool TChildProcess::Enqueue(std::string text, const std::function<bool()>* gone) {
  std::shared_ptr<platform::Process> proc;
  {
    // A write right after Start() waits for the child to be there rather
    // than being lost; before Start() and after the end it does nothing.
    std::unique_lock<std::mutex> lock(mutex_);
    finishedCv_.wait(lock, [this] { return !started_ || spawned_; });
    if (!running_ || !process_) return false;
    proc = process_;
  }
  if (text.empty()) return true;
  // Text is UTF-8 throughout: nothing to convert. A closed pipe is no error.
  std::unique_lock<std::mutex> lock(inMutex_);
  std::string stopWhy;
  if (gone) {
    // Room: the text fits under the bound, or nothing waits before it. A
    // child that takes nothing for InputStallLimit is stopped, so that no
    // caller waits on it without bound (a client whose leave hides behind
    // the bytes it sent is not seen by `gone`).
    size_t lastQueued = inQueued_;
    auto lastTaken = std::chrono::steady_clock::now();
    while (!inClosed_ && inQueued_ > 0 && inQueued_ + text.size() > kMaxQueuedInput) {
      lock.unlock();
      const bool left = (*gone)();
      lock.lock();
      if (left) return false;
      const auto now = std::chrono::steady_clock::now();
      if (inQueued_ < lastQueued) {
        lastQueued = inQueued_;
        lastTaken = now;
      } else if (now - lastTaken >= InputStallLimit) {
        stopWhy = "its standard input took nothing for " + std::to_string(InputStallLimit.count()) + " ms";
        break;
      }
      inCv_.wait_for(lock, std::chrono::milliseconds(100));
    }
  }
  if (inClosed_) return false;
  if (!stopWhy.empty()) return StopForInput(lock, stopWhy);
  if (inQueue_.empty() && !inWriting_) {
    // Nothing waits: as much as the pipe takes at once goes straight in.
    inWriting_ = true;
    lock.unlock();
    const long n = proc->WriteStdinSome(text.data(), text.size());
    lock.lock();
    inWriting_ = false;
    if (n < 0) {
      inClosed_ = true;
      inQueue_.clear();
    }
    if (inClosed_ || static_cast<size_t>(n) == text.size()) {
      inCv_.notify_all();  // the writer may wait for inWriting_ to drop
      return n >= 0;
    }
    // Texts queued meanwhile come after the rest of this one.
    text.erase(0, static_cast<size_t>(n));
    inQueued_ += text.size();
    inQueue_.push_front(std::move(text));
  } else {
    inQueued_ += text.size();
    inQueue_.push_back(std::move(text));
  }
  if (inQueued_ > kMaxQueuedInput) {
    stopWhy = "more than " + std::to_string(kMaxQueuedInput >> 20) + " MiB wait for its standard input";
  } else if (!writer_.joinable()) {
    // The first write that has to wait for the child starts the writer.
    try {
      writer_ = std::thread([this, proc] { DrainInput(proc); });
    } catch (const std::exception& e) {
      stopWhy = std::string("no input writer: ") + e.what();
    }
  }
  if (!stopWhy.empty()) return StopForInput(lock, stopWhy);
  inCv_.notify_all();
  return true;
}

bool TChildProcess::StopForInput(std::unique_lock<std::mutex>& lock, const std::string& why) {
  inClosed_ = true;
  inQueue_.clear();
  inCv_.notify_all();
  lock.unlock();
  vexa::WriteLine("Error Process:- " + why + ", process stopped cmd:- " + ConsoleQuote(Exe));
  Stop();
  return false;
}

void TChildProcess::CloseInput() {
  std::lock_guard<std::mutex> lock(inMutex_);
  inClosed_ = true;
  inQueue_.clear();
  inCv_.notify_all();
}

void TChildProcess::CloseInputAndJoin() {
  CloseInput();
  // Closed: no write starts a writer any more, so writer_ is this thread's alone.
  if (writer_.joinable()) writer_.join();
}

void TChildProcess::DrainInput(const std::shared_ptr<platform::Process>& proc) {
  std::unique_lock<std::mutex> lock(inMutex_);
  for (;;) {
    inCv_.wait(lock, [this] { return inClosed_ || (!inQueue_.empty() && !inWriting_); });
    if (inClosed_) return;
    std::string chunk = std::move(inQueue_.front());
    inQueue_.pop_front();
    inWriting_ = true;
    lock.unlock();
    size_t done = 0;
    bool broken = false;
    while (done < chunk.size() && !inClosed_) {
      const long n = proc->WriteStdinSome(chunk.data() + done, chunk.size() - done);
      if (n < 0) {
        broken = true;
        break;
      }
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      // The pipe is full: wait for room or for the child's end; the slices
      // let a closing run be noticed.
      if (!proc->WaitStdinRoom(std::chrono::milliseconds(100))) {
        broken = true;  // the child has ended: nobody reads the rest
        break;
      }
    }
    lock.lock();
    inWriting_ = false;
    inQueued_ -= chunk.size();
    if (broken) {
      inClosed_ = true;
      inQueue_.clear();
    }
    inCv_.notify_all();  // writers that wait for room
  }
}

void TChildProcess::WriteLine(const std::string& text) { Write(text + "\r\n"); }

void TChildProcess::Stop() {
  std::shared_ptr<platform::Process> proc;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    running_ = false;
    proc = process_;
  }
  if (proc && proc->Running()) {
    proc->Kill();
    proc->WaitFor(std::chrono::milliseconds(1000));
  }
}

void TChildProcess::DefaultOnLine(const std::string& line) { vexa::WriteLine(ConsoleQuote(line)); }

void TChildProcess::DefaultOnExit(const std::string& stdoutRest, const std::string& stderrRest) {
  vexa::WriteLine("CP ClsRx Data:- " + ConsoleQuote(stdoutRest));
  vexa::WriteLine("CP ClsRx Error:- " + ConsoleQuote(stderrRest));
}

}  // namespace vexa

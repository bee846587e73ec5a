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

void TChildProcess::Write(std::string text) {
  const auto proc = ProcessForInput();
  if (!proc || text.empty()) return;
  std::unique_lock<std::mutex> lock(inMutex_);
  if (inClosed_) return;
  // A relay or an event cannot wait: it is queued at once, and a child that
  // lets more than the bound of them pile up is stopped. Bytes that came
  // through WriteWaiting, which waited for room, do not count against it.
  const std::string why = Put(lock, proc, std::move(text), false);
  if (!why.empty()) {
    StopForInput(lock, why);
  } else if (inQueued_ - inQueuedWaited_ > kMaxQueuedInput) {
    StopForInput(lock, "more than " + std::to_string(kMaxQueuedInput >> 20) + " MiB wait for its standard input");
  }
}

bool TChildProcess::WriteWaiting(std::string text, const std::function<bool()>& gone) {
  const auto proc = ProcessForInput();
  if (!proc) return false;
  if (text.empty()) return true;
  std::unique_lock<std::mutex> lock(inMutex_);
  if (!WaitForRoom(lock, text.size(), gone)) return false;
  const std::string why = Put(lock, proc, std::move(text), true);
  if (!why.empty()) return StopForInput(lock, why);
  return true;
}

std::shared_ptr<platform::Process> TChildProcess::ProcessForInput() {
  // A write right after Start() waits for the child to be there rather
  // than being lost; before Start() and after the end it does nothing.
  std::unique_lock<std::mutex> lock(mutex_);
  finishedCv_.wait(lock, [this] { return !started_ || spawned_; });
  if (!running_ || !process_) return nullptr;
  return process_;
}

bool TChildProcess::WaitForRoom(std::unique_lock<std::mutex>& lock, size_t size, const std::function<bool()>& gone) {
  // Room: the text fits under the bound, or nothing waits before it (a text
  // larger than the bound is taken into an empty queue). A child that takes
  // no byte of its input for InputStallLimit is stopped, so that no caller
  // waits on it without bound (a client whose leave hides behind the bytes
  // it sent is not seen by `gone`); one that reads a long line slowly is
  // making progress.
  uint64_t lastTaken = inTaken_.load();
  auto lastProgress = std::chrono::steady_clock::now();
  while (!inClosed_ && inQueued_ > 0 && inQueued_ + size > kMaxQueuedInput) {
    lock.unlock();
    const bool left = gone();
    lock.lock();
    if (left) return false;
    const auto now = std::chrono::steady_clock::now();
    if (inTaken_ != lastTaken) {
      lastTaken = inTaken_;
      lastProgress = now;
    } else if (now - lastProgress >= InputStallLimit) {
      return StopForInput(lock, "its standard input took nothing for " + std::to_string(InputStallLimit.count()) +
                                    " ms");
    }
    inCv_.wait_for(lock, std::chrono::milliseconds(100));
  }
  return !inClosed_;
}

std::string TChildProcess::Put(std::unique_lock<std::mutex>& lock, const std::shared_ptr<platform::Process>& proc,
                               std::string text, bool waited) {
  // Text is UTF-8 throughout: nothing to convert. A closed pipe is no error.
  if (inQueue_.empty() && !inWriting_) {
    // Nothing waits: as much as the pipe takes at once goes straight in.
    inWriting_ = true;
    lock.unlock();
    const long n = proc->WriteStdinSome(text.data(), text.size());
    lock.lock();
    inWriting_ = false;
    if (n > 0) inTaken_ += static_cast<uint64_t>(n);
    if (n < 0) {
      inClosed_ = true;
      inQueue_.clear();
    }
    inCv_.notify_all();  // the writer may wait for inWriting_ to drop
    if (inClosed_ || static_cast<size_t>(n) == text.size()) return {};
    // Texts queued meanwhile come after the rest of this one.
    text.erase(0, static_cast<size_t>(n));
    Count(text.size(), waited, true);
    inQueue_.push_front({std::move(text), waited});
  } else {
    Count(text.size(), waited, true);
    inQueue_.push_back({std::move(text), waited});
  }
  inCv_.notify_all();
  return StartWriter(proc);
}

void TChildProcess::Count(size_t size, bool waited, bool added) {
  if (added) {
    inQueued_ += size;
    if (waited) inQueuedWaited_ += size;
  } else {
    inQueued_ -= size;
    if (waited) inQueuedWaited_ -= size;
  }
}

std::string TChildProcess::StartWriter(const std::shared_ptr<platform::Process>& proc) {
  // The first write that has to wait for the child starts the writer.
  if (writer_.joinable()) return {};
  try {
    writer_ = std::thread([this, proc] { DrainInput(proc); });
  } catch (const std::exception& e) {
    return std::string("no input writer: ") + e.what();
  }
  return {};
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
    TInput chunk = std::move(inQueue_.front());
    inQueue_.pop_front();
    inWriting_ = true;
    lock.unlock();
    size_t done = 0;
    bool broken = false;
    while (done < chunk.text.size() && !inClosed_) {
      const long n = proc->WriteStdinSome(chunk.text.data() + done, chunk.text.size() - done);
      if (n < 0) {
        broken = true;
        break;
      }
      if (n > 0) {
        done += static_cast<size_t>(n);
        inTaken_ += static_cast<uint64_t>(n);  // progress for the stall check
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
    Count(chunk.text.size(), chunk.waited, false);
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

#include "server/bridge/child_process.hpp"

#include <chrono>
#include <exception>
#include <system_error>

#include "core/globals.hpp"
#include "platform/process.hpp"
#include "server/bridge/read_output_thread.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa {

namespace {
// The runner whose threads (its own and its two readers) this thread is.
thread_local const TChildProcess* tRunnerOfThisThread = nullptr;

// A text the queue holds until the pipe has taken it; `bounded` when it
// counts against the bound on what may pile up.
TSendItem InputItem(std::string text, bool bounded) {
  auto held = std::make_shared<const TSendText>(std::move(text));
  TSendItem item;
  item.body = held->Text();
  item.text = std::move(held);
  item.bounded = bounded;
  return item;
}
}  // namespace

// The child's standard input as the sink of its queue. Text is UTF-8
// throughout: nothing to convert.
class TChildProcess::TStdinSink final : public TSendSink {
 public:
  explicit TStdinSink(std::shared_ptr<platform::Process> proc) : proc_(std::move(proc)) {}
  size_t WriteNow(std::span<const std::string_view> pieces) override {
    for (const std::string_view& piece : pieces) {
      if (piece.empty()) continue;
      const long n = proc_->WriteStdinSome(piece.data(), piece.size());
      if (n < 0) throw std::system_error(std::make_error_code(std::errc::broken_pipe), "standard input closed");
      return static_cast<size_t>(n);
    }
    return 0;
  }
  // False once the child has ended: nobody reads the rest.
  bool WaitRoom(std::chrono::milliseconds timeout) override { return proc_->WaitStdinRoom(timeout); }

 private:
  std::shared_ptr<platform::Process> proc_;
};

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
    // What the pipe does not take at once waits in the input queue; a relay
    // that would pass the bound stops the child (Write), a client's text
    // waits for room (WriteWaiting). A closed pipe is no error.
    TSendLimits inputLimits;
    inputLimits.maxWaiting = kMaxQueuedInput;
    inputLimits.oneMayPass = false;
    auto sink = std::make_unique<TStdinSink>(proc);
    auto input = std::make_unique<TSendQueue>(*sink, inputLimits, [this](const TSendQueue::TFailure& failure) {
      if (failure.kind == TSendQueue::TFailureKind::NoWriter) StopForInput("no input writer: " + failure.what);
    });
    bool stoppedMeanwhile;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      process_ = proc;
      inSink_ = std::move(sink);
      input_ = std::move(input);
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
  TSendQueue* input = InputForWrite();
  if (!input || text.empty()) return;
  // A relay or an event cannot wait: it is queued at once, and a child that
  // lets more than the bound of them pile up is stopped. Texts that came
  // through WriteWaiting, which waited for room, do not count against it.
  if (input->Put(InputItem(std::move(text), true)) == TSendQueue::TPut::OverBound)
    StopForInput("more than " + std::to_string(kMaxQueuedInput >> 20) + " MiB wait for its standard input");
}

bool TChildProcess::WriteWaiting(std::string text, const std::function<bool()>& gone) {
  TSendQueue* input = InputForWrite();
  if (!input) return false;
  if (text.empty()) return true;
  // Room: the text fits under the bound, or nothing waits before it (a text
  // larger than the bound is taken into an empty queue). A child that takes
  // no byte of its input for InputStallLimit is stopped, so that no caller
  // waits on it without bound (a client whose leave hides behind the bytes
  // it sent is not seen by `gone`); one that reads a long line slowly is
  // making progress.
  switch (input->WaitForRoom(text.size(), gone, InputStallLimit)) {
    case TSendQueue::TRoom::Room:
      break;
    case TSendQueue::TRoom::Stalled:
      return StopForInput("its standard input took nothing for " + std::to_string(InputStallLimit.count()) + " ms");
    default:
      return false;
  }
  const TSendQueue::TPut put = input->Put(InputItem(std::move(text), false));
  return put == TSendQueue::TPut::Sent || put == TSendQueue::TPut::Waiting;
}

TSendQueue* TChildProcess::InputForWrite() {
  // A write right after Start() waits for the child to be there rather
  // than being lost; before Start() and after the end it does nothing.
  std::unique_lock<std::mutex> lock(mutex_);
  finishedCv_.wait(lock, [this] { return !started_ || spawned_; });
  if (!running_ || !process_) return nullptr;
  return input_.get();
}

bool TChildProcess::StopForInput(const std::string& why) {
  if (TSendQueue* input = input_.get()) input->Stop();
  vexa::WriteLine("Error Process:- " + why + ", process stopped cmd:- " + ConsoleQuote(Exe));
  Stop();
  return false;
}

void TChildProcess::CloseInputAndJoin() {
  TSendQueue* input;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    input = input_.get();
  }
  // Closed: nothing more is taken and the writer, if any, is joined.
  if (input) input->Finish(std::chrono::steady_clock::now());
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

#include "core/send_queue.hpp"

#include <algorithm>
#include <exception>
#include <utility>

namespace vexa {

using Clock = std::chrono::steady_clock;

bool TSendText::Hold(TMemoryBudget* budget) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (holders_ == 0 && budget != nullptr) {
    auto charge = std::make_unique<TMemoryCharge>(budget);
    if (!charge->GrowTo(text_.size())) return false;
    charge_ = std::move(charge);
  }
  ++holders_;
  return true;
}

void TSendText::Unhold() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (holders_ > 0 && --holders_ == 0) charge_.reset();
}

bool TSendText::Charged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return charge_ != nullptr;
}

TSendQueue::TSendQueue(TSendSink& sink, TSendLimits limits, std::function<void(const TFailure&)> onFailure)
    : sink_(sink),
      limits_(limits),
      onFailure_(std::move(onFailure)),
      charge_(std::make_unique<TMemoryCharge>(limits.budget)) {}

TSendQueue::~TSendQueue() { Finish(Clock::now()); }

void TSendQueue::SetLimits(const TSendLimits& limits) {
  std::lock_guard<std::mutex> lock(mutex_);
  limits_ = limits;
  charge_ = std::make_unique<TMemoryCharge>(limits.budget);  // nothing is charged yet
}

size_t TSendQueue::Pieces(const TEntry& entry, size_t maxBytes, std::string_view (&out)[3]) {
  const TSendItem& item = entry.item;
  const std::string_view parts[3] = {std::string_view(item.head, item.headLen), item.body,
                                     std::string_view(item.tail, item.tailLen)};
  size_t from = entry.done;
  size_t n = 0;
  for (const std::string_view& part : parts) {
    if (from >= part.size()) {
      from -= part.size();
      continue;
    }
    const size_t take = std::min(part.size() - from, maxBytes);
    if (take == 0) break;
    out[n++] = part.substr(from, take);
    maxBytes -= take;
    from = 0;
  }
  return n;
}

bool TSendQueue::Count(TEntry& entry, bool mustKeep) {
  const TSendText* text = entry.item.text.get();
  // A text carries its own charge, once for all its holders; the queue
  // charges the rest.
  const size_t own = kItemCost + (text ? 0 : entry.item.Size() - entry.done);
  const bool holds = text && text->Hold(limits_.budget);
  const bool fits = (!text || holds) && charge_->GrowTo(charge_->Charged() + own);
  if (!fits) {
    if (holds) text->Unhold();
    if (!mustKeep) return false;
  }
  entry.holdsText = fits && text;
  entry.counted = Cost(entry);
  entry.charged = fits ? own : 0;
  waiting_ += entry.counted;
  if (entry.item.bounded) bounded_ += entry.counted;
  return fits;
}

void TSendQueue::Uncount(TEntry& entry) {
  waiting_ -= entry.counted;
  if (entry.item.bounded) bounded_ -= entry.counted;
  charge_->ShrinkTo(charge_->Charged() - entry.charged);
  if (entry.holdsText) entry.item.text->Unhold();
  entry.counted = entry.charged = 0;
  entry.holdsText = false;
}

bool TSendQueue::Replace(TEntry& waiting, TSendItem item) {
  Uncount(waiting);
  waiting.item = std::move(item);
  if (Count(waiting, false)) return true;
  // The newer one cannot be charged: neither waits any more.
  replaceable_ = nullptr;
  const uint64_t seq = waiting.seq;
  queue_.erase(std::find_if(queue_.begin(), queue_.end(), [seq](const TEntry& e) { return e.seq == seq; }));
  cv_.notify_all();
  return false;
}

TSendQueue::TPut TSendQueue::Put(TSendItem item, uint64_t* seq) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (closed_) return TPut::Refused;
  if (item.replaceable && replaceable_ != nullptr && replaceable_->item.kind == item.kind) {
    if (seq) *seq = replaceable_->seq;
    return Replace(*replaceable_, std::move(item)) ? TPut::Waiting : TPut::OverBudget;
  }
  TEntry entry;
  entry.item = std::move(item);
  entry.seq = nextSeq_++;
  if (seq) *seq = entry.seq;
  if (entry.item.last) closed_ = true;  // nothing after it
  return Take(lock, std::move(entry), false);
}

TSendQueue::TPut TSendQueue::Take(std::unique_lock<std::mutex>& lock, TEntry entry, bool final) {
  const size_t size = entry.item.Size();
  bool front = false;
  if (!writing_ && !current_ && queue_.empty()) {
    // Nothing waits: this thread writes what the sink takes now.
    writing_ = true;
    lock.unlock();
    std::optional<TFailure> failure;
    try {
      std::string_view pieces[3];
      const size_t n = Pieces(entry, size, pieces);
      entry.done = std::min(size, sink_.WriteNow(std::span<const std::string_view>(pieces, n)));
      taken_ += entry.done;
    } catch (const std::exception& e) {
      failure = TFailure{TFailureKind::Broken, e.what()};
    } catch (...) {
      failure = TFailure{TFailureKind::Broken, "unknown failure"};
    }
    lock.lock();
    writing_ = false;
    cv_.notify_all();
    if (failure) {
      Fail(lock, std::move(*failure));
      return TPut::Failed;
    }
    if (stopped_ || failed_) return TPut::Refused;
    if (entry.done == size) {
      lastSent_ = entry.seq;
      if (sink_.Holding()) {
        // The sink keeps the end of it: the writer sends that before anything else.
        TEntry flush;
        flush.seq = entry.seq;
        Count(flush, true);
        current_ = std::move(flush);
        if (!EnsureWriter(lock)) return TPut::Failed;
        cv_.notify_all();
      }
      return TPut::Sent;
    }
    if (entry.done > 0) {
      // Begun: its rest goes before whatever was put meanwhile, and is
      // finished even when it cannot be charged.
      const bool charged = Count(entry, true);
      current_ = std::move(entry);
      if (!EnsureWriter(lock)) return TPut::Failed;
      cv_.notify_all();
      return charged ? TPut::Waiting : TPut::OverBudget;
    }
    // Nothing taken: it waits, still before what was put meanwhile, unless
    // the queue was closed meanwhile with what waited dropped.
    if (dropping_ && !final) return TPut::Refused;
    front = true;
  }
  if (!final && entry.item.bounded && bounded_ + Cost(entry) > limits_.maxWaiting &&
      !(limits_.oneMayPass && waiting_ == 0))
    return TPut::OverBound;
  if (!Count(entry, final)) return TPut::OverBudget;
  const bool replaceable = entry.item.replaceable;
  if (front) {
    queue_.push_front(std::move(entry));
  } else {
    queue_.push_back(std::move(entry));
  }
  if (replaceable) replaceable_ = front ? &queue_.front() : &queue_.back();
  if (!EnsureWriter(lock)) return TPut::Failed;
  cv_.notify_all();
  return TPut::Waiting;
}

bool TSendQueue::EnsureWriter(std::unique_lock<std::mutex>& lock) {
  if (writer_.joinable() || stopped_) return true;
  try {
    writer_ = std::thread([this] { Drain(); });
  } catch (const std::exception& e) {
    Fail(lock, TFailure{TFailureKind::NoWriter, e.what()});
    return false;
  }
  return true;
}

void TSendQueue::DropAll(std::deque<TEntry>& into) {
  for (TEntry& entry : queue_) Uncount(entry);
  into.swap(queue_);
  replaceable_ = nullptr;
  // The item in the writer's hands is the writer's to let go.
  if (current_ && !writing_) {
    Uncount(*current_);
    into.push_back(std::move(*current_));
    current_.reset();
  }
  cv_.notify_all();
}

void TSendQueue::Fail(std::unique_lock<std::mutex>& lock, TFailure failure) {
  const bool first = !failed_;
  failed_ = closed_ = true;
  stopped_ = true;
  std::deque<TEntry> dropped;
  DropAll(dropped);
  lock.unlock();
  dropped.clear();  // what waited and its charges go back at once
  if (first && onFailure_) {
    try {
      onFailure_(failure);
    } catch (...) {
      // The owner's report failed; sending has ended all the same.
    }
  }
}

void TSendQueue::CloseWith(std::optional<TSendItem> last) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (failed_ || stopped_ || dropping_) return;
  dropping_ = closed_ = true;
  std::deque<TEntry> dropped;
  for (TEntry& entry : queue_) Uncount(entry);
  dropped.swap(queue_);
  replaceable_ = nullptr;
  cv_.notify_all();
  if (last) {
    TEntry entry;
    entry.item = std::move(*last);
    entry.item.last = true;
    entry.seq = nextSeq_++;
    Take(lock, std::move(entry), true);
  }
  if (lock.owns_lock()) lock.unlock();
  dropped.clear();
}

void TSendQueue::Drain() {
  try {
    DrainLoop();
  } catch (...) {
    // Only the bookkeeping around the writes can raise here (they are
    // caught one by one): sending ends, the connection's other threads go on.
    std::unique_lock<std::mutex> lock(mutex_);
    writing_ = false;
    Fail(lock, TFailure{TFailureKind::Broken, "send queue failure"});
  }
}

void TSendQueue::DrainLoop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    cv_.wait(lock, [this] { return stopped_.load() || (!writing_ && (current_ || !queue_.empty())); });
    if (stopped_) return;
    if (!current_) {
      if (replaceable_ == &queue_.front()) replaceable_ = nullptr;
      current_ = std::move(queue_.front());
      queue_.pop_front();
    }
    writing_ = true;
    lock.unlock();
    std::optional<TFailure> failure;
    TOutcome outcome = TOutcome::Stopped;
    try {
      outcome = WriteOut(*current_);
    } catch (const std::exception& e) {
      failure = TFailure{TFailureKind::Broken, e.what()};
    } catch (...) {
      failure = TFailure{TFailureKind::Broken, "unknown failure"};
    }
    if (outcome == TOutcome::TimedOut) failure = TFailure{TFailureKind::TimedOut, "write timed out"};
    if (outcome == TOutcome::Closed) failure = TFailure{TFailureKind::Broken, "the stream is closed"};
    lock.lock();
    writing_ = false;
    TEntry finished = std::move(*current_);
    current_.reset();
    Uncount(finished);
    if (outcome == TOutcome::Whole) lastSent_ = finished.seq;
    cv_.notify_all();
    lock.unlock();
    finished = TEntry();  // its bytes and charge go back before the next item
    lock.lock();
    if (failure) {
      Fail(lock, std::move(*failure));
      return;
    }
  }
}

TSendQueue::TOutcome TSendQueue::WriteOut(TEntry& entry) {
  const size_t size = entry.item.Size();
  const bool timed = limits_.sliceLimit.count() > 0;
  // Whole means out of the sink's hands too: what it holds of this entry
  // is sent before the next one.
  while (entry.done < size || sink_.Holding()) {
    // Slices bound how long one write may take before it has to show progress.
    const size_t sliceEnd = entry.done + std::min(limits_.slice, size - entry.done);
    const auto deadline = Clock::now() + limits_.sliceLimit;
    while (entry.done < sliceEnd || (entry.done == size && sink_.Holding())) {
      if (stopped_) return TOutcome::Stopped;
      std::string_view pieces[3];
      const size_t n = Pieces(entry, size - entry.done, pieces);
      const bool held = sink_.Holding();
      const size_t wrote = std::min(size - entry.done, sink_.WriteNow(std::span<const std::string_view>(pieces, n)));
      entry.done += wrote;
      taken_ += wrote;
      if (wrote > 0 || (held && !sink_.Holding())) continue;
      auto wait = limits_.step;
      if (timed) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return TOutcome::TimedOut;
        wait = std::min(wait, left);
      }
      if (!sink_.WaitRoom(std::max(wait, std::chrono::milliseconds(1)))) return TOutcome::Closed;
    }
  }
  return TOutcome::Whole;
}

bool TSendQueue::Settled(uint64_t seq) const {
  return (!current_ || current_->seq > seq) && (queue_.empty() || queue_.front().seq > seq);
}

bool TSendQueue::WaitSent(uint64_t seq) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [&] { return Settled(seq); });
  return lastSent_ >= seq;
}

TSendQueue::TRoom TSendQueue::WaitForRoom(size_t size, const std::function<bool()>& gone,
                                          std::chrono::milliseconds stallLimit) {
  std::unique_lock<std::mutex> lock(mutex_);
  uint64_t lastTaken = taken_.load();
  auto lastProgress = Clock::now();
  while (!closed_ && waiting_ > 0 && waiting_ + size + kItemCost > limits_.maxWaiting) {
    lock.unlock();
    const bool left = gone && gone();
    lock.lock();
    if (left) return TRoom::Gone;
    const auto now = Clock::now();
    if (taken_.load() != lastTaken) {
      lastTaken = taken_.load();
      lastProgress = now;
    } else if (now - lastProgress >= stallLimit) {
      return TRoom::Stalled;
    }
    cv_.wait_for(lock, limits_.step);
  }
  return closed_ ? TRoom::Closed : TRoom::Room;
}

bool TSendQueue::WaitDrained(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait_until(lock, deadline, [this] { return failed_ || stopped_ || Drained(); });
  return !failed_ && Drained();
}

void TSendQueue::Stop() {
  std::deque<TEntry> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    stopped_ = true;
    DropAll(dropped);
  }
}

bool TSendQueue::Finish(Clock::time_point deadline) {
  bool sent;
  std::deque<TEntry> dropped;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    cv_.wait_until(lock, deadline, [this] { return failed_ || stopped_ || Drained(); });
    sent = !failed_ && Drained();
    stopped_ = true;
    DropAll(dropped);
  }
  dropped.clear();
  // Stopped: no writer starts any more, so writer_ is this thread's alone.
  if (writer_.joinable()) writer_.join();
  return sent;
}

size_t TSendQueue::Waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return waiting_;
}

bool TSendQueue::Closed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

}  // namespace vexa

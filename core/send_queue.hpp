#pragma once
// TSendQueue: what one side sends into one stream (a WebSocket client's
// socket, a child process's standard input), from any number of threads, in
// order, each item whole, and without a sender ever waiting for a slow reader.
//
// - A send (Put) writes what the sink takes at once when nothing waits
//   before it; the rest waits, and the queue's one writer thread (started by
//   the first item that has to wait, joined by Finish) writes it as the
//   reader makes room.
// - An item once begun is finished before any byte of another: the rest of a
//   partly written item is first in line, whatever other threads put
//   meanwhile. Nothing is taken after an item marked `last`.
// - What waits is charged what it holds: its bytes plus kItemCost for its
//   bookkeeping count against the queue's bound (maxWaiting) and, unless its
//   text is a TSendText, the memory budget. A TSendText is charged to the
//   budget once, by the first queue that keeps it waiting, until its last
//   holder lets it go, however many queues hold it.
// - A waiting item marked `replaceable` is replaced by the next replaceable
//   item of the same kind (a pong not yet sent, by the newest one).
// - A failure of the sink (an exception of any kind, or a slice of an item
//   that takes longer than the slice limit) ends all sending: what waits is
//   dropped, and OnFailure runs once, on the thread that met the failure.
//   No exception leaves the writer thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include "core/memory_budget.hpp"

namespace vexa {

// What a queue writes into.
class TSendSink {
 public:
  // Writes what the stream takes now, without waiting: the count taken (0
  // when it takes nothing now). Raises (any exception) when it is broken.
  // Bytes taken are the sink's: those it holds (see Holding) go out first
  // with its next write, of any bytes or of none.
  virtual size_t WriteNow(std::span<const std::string_view> pieces) = 0;
  // Bytes taken are not out yet.
  virtual bool Holding() const { return false; }
  // Waits at most `timeout` for room; false when no room will ever come
  // (the stream is closed).
  virtual bool WaitRoom(std::chrono::milliseconds timeout) = 0;

 protected:
  ~TSendSink() = default;
};

// A text that queues hold by reference, so that one text can go to many
// streams; charged to a memory budget once while any queue keeps it waiting.
class TSendText {
 public:
  explicit TSendText(std::string text) : text_(std::move(text)) {}
  TSendText(const TSendText&) = delete;
  TSendText& operator=(const TSendText&) = delete;

  const std::string& Text() const { return text_; }
  // A queue keeps the text waiting: the first charges its size to `budget`;
  // false (and not kept) when the budget cannot take it. Any thread.
  bool Hold(TMemoryBudget* budget) const;
  // A queue lets it go: the last gives the charge back.
  void Unhold() const;
  bool Charged() const;

 private:
  const std::string text_;
  mutable std::mutex mutex_;
  mutable size_t holders_ = 0;
  mutable std::unique_ptr<TMemoryCharge> charge_;
};

// One item: up to 10 bytes before the body (a frame header), the body, and
// up to 4 bytes after it, written as one.
struct TSendItem {
  // Holds `body`; null: the sender holds the body until the item has gone
  // (it waits for that with WaitSent).
  std::shared_ptr<const TSendText> text;
  std::string_view body;
  char head[10] = {};
  uint8_t headLen = 0;
  char tail[4] = {};
  uint8_t tailLen = 0;
  uint8_t kind = 0;          // the owner's mark
  bool replaceable = false;  // a waiting item of the same kind gives way to this one
  bool last = false;         // nothing is taken after it
  bool bounded = true;       // counts against maxWaiting when it has to wait

  size_t Size() const { return headLen + body.size() + tailLen; }
};

struct TSendLimits {
  // Bytes (with kItemCost each) of bounded items that may wait.
  size_t maxWaiting = size_t(64) << 20;
  // An item may wait past maxWaiting when nothing else waits.
  bool oneMayPass = true;
  // Charged for what waits; null: nothing is charged.
  TMemoryBudget* budget = nullptr;
  // Each slice of an item must be written within sliceLimit once the
  // writer has it (zero: no limit).
  size_t slice = size_t(1) << 20;
  std::chrono::milliseconds sliceLimit{0};
  // The longest single wait for room, so that a stop is seen.
  std::chrono::milliseconds step{100};
};

class TSendQueue {
 public:
  // What one waiting item is charged beyond its bytes: its queue entry, the
  // text's shared block and its charge.
  static constexpr size_t kItemCost = 256;

  enum class TPut {
    Sent,        // written whole at once
    Waiting,     // (the rest) waits for the writer
    Refused,     // the queue takes nothing any more; nothing was written
    OverBound,   // it would pass maxWaiting; nothing was written
    OverBudget,  // the budget cannot take it; nothing was written, unless it
                 // was begun: then its rest is finished, uncharged
    Failed,      // the sink failed (OnFailure has run); nothing more goes out
  };
  enum class TFailureKind { Broken, TimedOut, NoWriter };
  struct TFailure {
    TFailureKind kind;
    std::string what;
  };
  enum class TRoom { Room, Closed, Gone, Stalled };

  // `onFailure` must not raise into the queue (what it raises is dropped).
  TSendQueue(TSendSink& sink, TSendLimits limits, std::function<void(const TFailure&)> onFailure);
  // Stops and joins the writer; must not run on the writer thread.
  ~TSendQueue();
  TSendQueue(const TSendQueue&) = delete;
  TSendQueue& operator=(const TSendQueue&) = delete;

  // Before the first Put.
  void SetLimits(const TSendLimits& limits);
  const TSendLimits& Limits() const { return limits_; }

  // Sends `item` after everything put before it (see above). `seq`, when
  // given, gets the item's number for WaitSent.
  TPut Put(TSendItem item, uint64_t* seq = nullptr);
  // Waits until item `seq` has gone out or was dropped, and nobody holds it
  // any more; true when it went out whole.
  bool WaitSent(uint64_t seq);
  // Waits until `size` more bytes fit under maxWaiting, or nothing waits (an
  // item of any size is taken then). Asks `gone` about every step; Stalled
  // when the reader took no byte for `stallLimit` meanwhile.
  TRoom WaitForRoom(size_t size, const std::function<bool()>& gone, std::chrono::milliseconds stallLimit);
  // Takes nothing more and drops what waits, but finishes the item begun;
  // then `last`, when given, goes out as the final item.
  void CloseWith(std::optional<TSendItem> last);
  // Waits until all that was put has gone out, the queue failed, or
  // `deadline`; true when all went out.
  bool WaitDrained(std::chrono::steady_clock::time_point deadline);
  // Takes nothing more; drops what waits; the writer leaves its item within
  // a step. Any thread; does not join.
  void Stop();
  // Takes nothing more, gives what waits until `deadline` to go out, then
  // stops and joins the writer. True when all went out. Not on the writer.
  bool Finish(std::chrono::steady_clock::time_point deadline);

  // Bytes waiting (the rest of the item begun included), each item with its
  // kItemCost.
  size_t Waiting() const;
  // Bytes the sink has taken so far.
  uint64_t Taken() const { return taken_.load(); }
  // True once nothing more is taken.
  bool Closed() const;

 private:
  struct TEntry {
    TSendItem item;
    uint64_t seq = 0;
    size_t done = 0;     // bytes written
    size_t counted = 0;  // its share of waiting_ (and bounded_)
    size_t charged = 0;  // its share of charge_
    bool holdsText = false;  // counted among its text's holders
  };
  enum class TOutcome { Whole, Stopped, TimedOut, Closed };

  // Up to `maxBytes` bytes of the entry from its written part on.
  static size_t Pieces(const TEntry& entry, size_t maxBytes, std::string_view (&out)[3]);
  // The bytes of the entry that wait, with its cost.
  static size_t Cost(const TEntry& entry) { return entry.item.Size() - entry.done + kItemCost; }
  bool Drained() const { return !writing_ && !current_ && queue_.empty(); }
  // No entry up to `seq` waits or is being written.
  bool Settled(uint64_t seq) const;
  // Counts and charges a waiting entry; false when the budget cannot take
  // it (then it is counted uncharged when it must be kept).
  bool Count(TEntry& entry, bool mustKeep);
  void Uncount(TEntry& entry);
  // Puts `item` in the waiting entry's place; false (the entry gone) when
  // it cannot be charged.
  bool Replace(TEntry& waiting, TSendItem item);
  // Writes the entry at once when nothing waits, else lets it wait; a
  // `final` entry passes the bound. The lock is released only after a
  // failure.
  TPut Take(std::unique_lock<std::mutex>& lock, TEntry entry, bool final);
  // Starts the writer when none runs; false (after Fail) when it cannot.
  bool EnsureWriter(std::unique_lock<std::mutex>& lock);
  // Moves what waits (and the item begun, unless a writer holds it) into
  // `into`, uncounted, to be freed once the lock is released.
  void DropAll(std::deque<TEntry>& into);
  // Ends all sending for a failure (lock held on entry, released).
  void Fail(std::unique_lock<std::mutex>& lock, TFailure failure);
  // The writer thread.
  void Drain();
  void DrainLoop();
  // Writes the entry out, no lock held; raises what the sink raises.
  TOutcome WriteOut(TEntry& entry);

  TSendSink& sink_;
  TSendLimits limits_;
  std::function<void(const TFailure&)> onFailure_;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<TEntry> queue_;          // waiting, none begun
  std::optional<TEntry> current_;     // first in line; begun, or in the writer's hands
  TEntry* replaceable_ = nullptr;     // the waiting replaceable entry, if any
  size_t waiting_ = 0;                // Cost of every entry in queue_ and current_
  size_t bounded_ = 0;                // the part of it from bounded items
  std::unique_ptr<TMemoryCharge> charge_;  // on limits_.budget
  uint64_t lastSent_ = 0;             // the seq of the last item that went out whole
  uint64_t nextSeq_ = 1;
  bool writing_ = false;              // a thread is writing into the sink
  bool closed_ = false;               // nothing more is taken
  bool dropping_ = false;             // closed by CloseWith
  bool failed_ = false;
  std::atomic<bool> stopped_{false};  // the writer leaves
  std::atomic<uint64_t> taken_{0};
  std::thread writer_;                // started under mutex_ while not stopped
};

}  // namespace vexa

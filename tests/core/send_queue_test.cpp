// The send queue over a pipe of a few KiB that the test reads from: what
// senders on many threads put arrives in order and each item whole, what
// waits is charged what it holds, and a failing sink ends sending alone.

#include "core/send_queue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <latch>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace vexa {
namespace {

using namespace std::chrono_literals;

// A pipe of `capacity` bytes: WriteNow takes what fits, the test reads.
// `holdLast` makes it keep the last byte of each write to itself until its
// next write, as a TLS session keeps a record it could not send whole.
class TPipeSink final : public TSendSink {
 public:
  explicit TPipeSink(size_t capacity, bool holdLast = false) : capacity_(capacity), holdLast_(holdLast) {}

  std::function<void()> beforeWrite;  // runs at the start of every WriteNow; set before the first
  enum { kNoFailure, kBadAlloc, kRuntimeError };
  std::atomic<int> failure{kNoFailure};  // what WriteNow raises

  size_t WriteNow(std::span<const std::string_view> pieces) override {
    if (beforeWrite) beforeWrite();
    if (failure == kBadAlloc) throw std::bad_alloc();
    if (failure == kRuntimeError) throw std::runtime_error("gone");
    std::lock_guard<std::mutex> lock(mutex_);
    ++writes_;
    if (!held_.empty() && buffer_.size() < capacity_) {
      buffer_ += held_;
      held_.clear();
    }
    if (!held_.empty()) return 0;
    size_t taken = 0;
    for (const std::string_view& piece : pieces) {
      const size_t room = capacity_ > buffer_.size() ? capacity_ - buffer_.size() : 0;
      const size_t n = std::min(room, piece.size());
      buffer_.append(piece.substr(0, n));
      taken += n;
      if (n < piece.size()) break;
    }
    if (holdLast_ && taken > 0) {
      held_ = buffer_.substr(buffer_.size() - 1);
      buffer_.pop_back();
    }
    cv_.notify_all();
    return taken;
  }
  bool Holding() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return !held_.empty();
  }
  bool WaitRoom(std::chrono::milliseconds timeout) override {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, timeout, [this] { return closed_ || buffer_.size() < capacity_; });
    return !closed_;
  }

  // Up to `most` bytes, waiting at most `timeout` for the first.
  std::string Read(size_t most, std::chrono::milliseconds timeout = 30s) {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait_for(lock, timeout, [this] { return !buffer_.empty(); });
    const std::string out = buffer_.substr(0, most);
    buffer_.erase(0, out.size());
    cv_.notify_all();
    return out;
  }
  // Exactly `n` bytes, or what came before `timeout` passed.
  std::string ReadExact(size_t n, std::chrono::milliseconds timeout = 30s) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string out;
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) out += Read(n - out.size(), 100ms);
    return out;
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    cv_.notify_all();
  }
  int Writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
  }

 private:
  const size_t capacity_;
  const bool holdLast_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::string buffer_;
  std::string held_;
  bool closed_ = false;
  int writes_ = 0;
};

TSendItem Item(std::string text, std::string_view head = {}, std::string_view tail = {}) {
  auto held = std::make_shared<const TSendText>(std::move(text));
  TSendItem item;
  item.body = held->Text();
  item.text = std::move(held);
  item.headLen = static_cast<uint8_t>(head.size());
  std::copy(head.begin(), head.end(), item.head);
  item.tailLen = static_cast<uint8_t>(tail.size());
  std::copy(tail.begin(), tail.end(), item.tail);
  return item;
}

// "<sender>:<index>:<length>:" and that many bytes of one letter.
std::string Record(int sender, int index) {
  const size_t size = index % 7 == 0 ? 40000 : static_cast<size_t>(100 + (index * 131 + sender) % 3000);
  return std::to_string(sender) + ":" + std::to_string(index) + ":" + std::to_string(size) + ":" +
         std::string(size, static_cast<char>('a' + (sender * 7 + index) % 26));
}

class Failures {
 public:
  std::function<void(const TSendQueue::TFailure&)> Hook() {
    return [this](const TSendQueue::TFailure& f) {
      std::lock_guard<std::mutex> lock(mutex_);
      kinds_.push_back(f.kind);
      cv_.notify_all();
    };
  }
  bool WaitOne(std::chrono::milliseconds timeout = 30s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return !kinds_.empty(); });
  }
  std::vector<TSendQueue::TFailureKind> Kinds() {
    std::lock_guard<std::mutex> lock(mutex_);
    return kinds_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<TSendQueue::TFailureKind> kinds_;
};

// Every test's limits charge a budget of its own (1 GiB unless a test sets
// another limit), so what each test leaves charged shows.
class SendQueue : public ::testing::Test {
 protected:
  SendQueue() { limits.budget = &budget; }
  TMemoryBudget budget{size_t(1) << 30};
  TSendLimits limits;
};

// Two senders, a pipe of 16 KiB and a reader that takes 3 KiB at a time:
// most sends are written in part at once, and every item must still arrive
// whole, each sender's in its order; also when the sink keeps a byte of
// each write back (TLS records).
TEST_F(SendQueue, ItemsFromTwoThreadsArriveWholeThroughASlowReader) {
  for (const bool holding : {false, true}) {
    SCOPED_TRACE(holding ? "holding sink" : "plain sink");
    TPipeSink sink(16 * 1024, holding);
    TSendQueue queue(sink, TSendLimits{}, nullptr);
    constexpr int kSenders = 2, kEach = 300;
    std::vector<std::thread> senders;
    for (int t = 0; t < kSenders; ++t)
      senders.emplace_back([&, t] {
        for (int i = 0; i < kEach; ++i) queue.Put(Item(Record(t, i)));
      });
    // Parses "<sender>:<index>:<length>:" and the body off the stream;
    // the first item that is not whole, or nothing, ends the reading.
    const auto readAll = [&]() -> std::string {
      int next[kSenders] = {};
      std::string stream;
      for (int got = 0; got < kSenders * kEach; ++got) {
        size_t colons = 0, pos = 0;
        while (colons < 3) {
          if (pos == stream.size()) {
            const std::string more = sink.Read(3 * 1024);
            if (more.empty()) return "the stream stopped after " + std::to_string(got) + " items";
            stream += more;
          }
          if (stream[pos++] == ':') ++colons;
        }
        const int sender = std::atoi(stream.c_str());
        if (sender < 0 || sender >= kSenders || stream[0] < '0' || stream[0] > '9')
          return "no item begins at: " + stream.substr(0, 40);
        const std::string expected = Record(sender, next[sender]);
        while (stream.size() < expected.size()) stream += sink.Read(3 * 1024);
        if (stream.compare(0, expected.size(), expected) != 0)
          return "item " + std::to_string(next[sender]) + " of sender " + std::to_string(sender) + " not whole";
        stream.erase(0, expected.size());
        ++next[sender];
      }
      return "";
    };
    const std::string fault = readAll();
    EXPECT_EQ(fault, "");
    if (!fault.empty()) queue.Stop();  // the senders go on to their end
    for (auto& sender : senders) sender.join();
    if (!fault.empty()) continue;
    EXPECT_TRUE(queue.WaitDrained(std::chrono::steady_clock::now() + 30s));
    EXPECT_EQ(queue.Waiting(), 0u);
  }
}

// Made step by step: a send is written in part while another thread's send
// waits; the rest of the first goes out before the second.
TEST_F(SendQueue, TheRestOfAnItemBegunGoesBeforeItemsPutMeanwhile) {
  TPipeSink sink(10);
  TSendQueue queue(sink, TSendLimits{}, nullptr);
  std::latch inWrite(1), otherPut(1);
  std::atomic<bool> first{true};
  sink.beforeWrite = [&] {
    if (first.exchange(false)) {
      inWrite.count_down();
      otherPut.wait();
    }
  };
  std::thread a([&] { EXPECT_EQ(queue.Put(Item(std::string(100, 'A'))), TSendQueue::TPut::Waiting); });
  inWrite.wait();
  EXPECT_EQ(queue.Put(Item("BBBB")), TSendQueue::TPut::Waiting);
  otherPut.count_down();
  a.join();
  EXPECT_EQ(sink.ReadExact(104), std::string(100, 'A') + "BBBB");
}

// What waits counts its bytes and a fixed cost per item against the bound
// and the budget; one item may wait alone past the bound.
TEST_F(SendQueue, WhatWaitsIsChargedItsBytesAndItsBookkeeping) {
  TPipeSink sink(0);  // takes nothing
  limits.maxWaiting = 64 * 1024;
  {
    TSendQueue queue(sink, limits, nullptr);
    // One-byte items count mostly their bookkeeping: the bound stops them
    // at maxWaiting / (1 + kItemCost), not at 64 Ki items.
    size_t taken = 0;
    while (queue.Put(Item("e")) == TSendQueue::TPut::Waiting) ++taken;
    EXPECT_EQ(taken, limits.maxWaiting / (1 + TSendQueue::kItemCost));
    EXPECT_EQ(queue.Waiting(), taken * (1 + TSendQueue::kItemCost));
    EXPECT_EQ(budget.Held(), taken * (1 + TSendQueue::kItemCost));
  }
  EXPECT_EQ(budget.Held(), 0u);
  {
    TSendQueue queue(sink, limits, nullptr);
    EXPECT_EQ(queue.Put(Item(std::string(100 * 1024, 'x'))), TSendQueue::TPut::Waiting);  // alone
    EXPECT_EQ(queue.Put(Item("y")), TSendQueue::TPut::OverBound);
    EXPECT_EQ(budget.Held(), 100 * 1024 + TSendQueue::kItemCost);
    EXPECT_FALSE(queue.Finish(std::chrono::steady_clock::now()));
    EXPECT_EQ(queue.Waiting(), 0u);
  }
  EXPECT_EQ(budget.Held(), 0u);
  // The budget bounds what waits too; nothing of a refused item stays charged.
  TMemoryBudget small(10 * 1024);
  limits.budget = &small;
  limits.maxWaiting = size_t(64) << 20;
  TSendQueue queue(sink, limits, nullptr);
  EXPECT_EQ(queue.Put(Item(std::string(8 * 1024, 'x'))), TSendQueue::TPut::Waiting);
  EXPECT_EQ(queue.Put(Item(std::string(8 * 1024, 'y'))), TSendQueue::TPut::OverBudget);
  EXPECT_EQ(small.Held(), 8 * 1024 + TSendQueue::kItemCost);
}

// 300 queues whose readers read nothing hold one 4 MiB text: it is charged
// once, and given back when the last of them lets it go, though its sender
// still holds it.
TEST_F(SendQueue, ATextHeldByManyQueuesIsChargedOnce) {
  budget.SetLimit(size_t(64) << 20);
  std::shared_ptr<const TSendText> text = std::make_shared<const TSendText>(std::string(size_t(4) << 20, 't'));
  const size_t size = text->Text().size();
  std::vector<std::unique_ptr<TPipeSink>> sinks;
  std::vector<std::unique_ptr<TSendQueue>> queues;
  for (int i = 0; i < 300; ++i) {
    sinks.push_back(std::make_unique<TPipeSink>(1024));
    queues.push_back(std::make_unique<TSendQueue>(*sinks.back(), limits, nullptr));
    TSendItem item;
    item.text = text;
    item.body = text->Text();
    ASSERT_EQ(queues.back()->Put(std::move(item)), TSendQueue::TPut::Waiting) << "queue " << i;
  }
  EXPECT_EQ(budget.Held(), size + 300 * TSendQueue::kItemCost);
  // All writers but the last queue's leave at once.
  for (size_t i = 0; i + 1 < queues.size(); ++i) queues[i]->Stop();
  for (size_t i = 0; i + 1 < queues.size(); ++i) queues[i]->Finish(std::chrono::steady_clock::now());
  EXPECT_EQ(budget.Held(), size + TSendQueue::kItemCost);
  queues.back()->Finish(std::chrono::steady_clock::now());
  EXPECT_EQ(budget.Held(), 0u);
  EXPECT_FALSE(text->Charged());
}

// A reader that reads nothing while replaceable items keep coming holds at
// most the item begun and one of them: the newest.
TEST_F(SendQueue, AWaitingReplaceableItemGivesWayToTheNewest) {
  TPipeSink sink(64);
  TSendQueue queue(sink, limits, nullptr);
  ASSERT_EQ(queue.Put(Item(std::string(1000, 'D'))), TSendQueue::TPut::Waiting);  // begun
  for (int i = 0; i < 100000; ++i) {
    TSendItem pong = Item("pong" + std::to_string(i));
    pong.kind = 1;
    pong.replaceable = true;
    ASSERT_EQ(queue.Put(std::move(pong)), TSendQueue::TPut::Waiting);
  }
  EXPECT_LT(queue.Waiting(), 1000 + 3 * TSendQueue::kItemCost);
  EXPECT_LT(budget.Held(), 1000 + 3 * TSendQueue::kItemCost);
  // Items of another kind are not replaced, and come after the pong.
  ASSERT_EQ(queue.Put(Item("data")), TSendQueue::TPut::Waiting);
  EXPECT_EQ(sink.ReadExact(1000 + 9 + 4), std::string(1000, 'D') + "pong99999data");
}

// A sink that raises anything (not only a system error), on the writer or
// on a sender: sending ends once, with one report, what waited goes, and
// the threads go on.
TEST_F(SendQueue, AFailingSinkEndsSendingOnceWithoutLeavingTheThread) {
  for (const bool onWriter : {true, false}) {
    SCOPED_TRACE(onWriter ? "writer" : "sender");
    TPipeSink sink(16);
    Failures failures;
    TSendQueue queue(sink, limits, failures.Hook());
    if (onWriter) {
      ASSERT_EQ(queue.Put(Item(std::string(1000, 'a'))), TSendQueue::TPut::Waiting);
      ASSERT_EQ(queue.Put(Item(std::string(1000, 'b'))), TSendQueue::TPut::Waiting);
      sink.failure = TPipeSink::kBadAlloc;
      sink.Read(16);  // room: the writer tries again, and fails
      ASSERT_TRUE(failures.WaitOne());
    } else {
      sink.failure = TPipeSink::kRuntimeError;
      EXPECT_EQ(queue.Put(Item("x")), TSendQueue::TPut::Failed);
    }
    EXPECT_EQ(queue.Put(Item("later")), TSendQueue::TPut::Refused);
    EXPECT_TRUE(queue.Closed());
    EXPECT_EQ(queue.Waiting(), 0u);
    EXPECT_EQ(budget.Held(), 0u);
    EXPECT_FALSE(queue.Finish(std::chrono::steady_clock::now()));
    EXPECT_EQ(failures.Kinds(), std::vector<TSendQueue::TFailureKind>{TSendQueue::TFailureKind::Broken});
  }
}

// Closing for a bound: what waits goes at once, the item begun is finished,
// the last item follows it, and nothing more is taken.
TEST_F(SendQueue, CloseWithDropsWhatWaitsFinishesTheItemBegunThenSendsTheLast) {
  TPipeSink sink(10);
  TSendQueue queue(sink, limits, nullptr);
  ASSERT_EQ(queue.Put(Item(std::string(50, 'A'))), TSendQueue::TPut::Waiting);  // begun
  ASSERT_EQ(queue.Put(Item(std::string(5000, 'B'))), TSendQueue::TPut::Waiting);
  ASSERT_EQ(queue.Put(Item(std::string(5000, 'C'))), TSendQueue::TPut::Waiting);
  TSendItem last;
  last.tailLen = 2;
  last.tail[0] = 'Z';
  last.tail[1] = 'Z';
  queue.CloseWith(last);
  EXPECT_LT(budget.Held(), 100 + 2 * TSendQueue::kItemCost);
  EXPECT_EQ(queue.Put(Item("D")), TSendQueue::TPut::Refused);
  EXPECT_EQ(sink.ReadExact(52), std::string(50, 'A') + "ZZ");
  EXPECT_TRUE(queue.WaitDrained(std::chrono::steady_clock::now() + 30s));
  EXPECT_EQ(sink.Read(10, 200ms), "");
}

// A slice that the reader does not take within its limit ends sending as
// timed out; a sink that closes ends it as broken.
TEST_F(SendQueue, AStuckOrClosedReaderEndsSending) {
  {
    TPipeSink sink(8);
    limits.sliceLimit = 200ms;
    Failures failures;
    TSendQueue queue(sink, limits, failures.Hook());
    ASSERT_EQ(queue.Put(Item(std::string(100, 'a'))), TSendQueue::TPut::Waiting);
    ASSERT_TRUE(failures.WaitOne());
    EXPECT_EQ(failures.Kinds(), std::vector<TSendQueue::TFailureKind>{TSendQueue::TFailureKind::TimedOut});
  }
  {
    TPipeSink sink(8);
    Failures failures;
    TSendQueue queue(sink, TSendLimits{}, failures.Hook());
    ASSERT_EQ(queue.Put(Item(std::string(100, 'a'))), TSendQueue::TPut::Waiting);
    sink.Close();
    ASSERT_TRUE(failures.WaitOne());
    EXPECT_EQ(failures.Kinds(), std::vector<TSendQueue::TFailureKind>{TSendQueue::TFailureKind::Broken});
  }
}

// A sender that waits for its item learns whether it went out; Finish gives
// what waits until its deadline and joins the writer.
TEST_F(SendQueue, WaitSentAndFinishTellWhetherItemsWentOut) {
  TPipeSink sink(16);
  TSendQueue queue(sink, TSendLimits{}, nullptr);
  uint64_t seq = 0;
  ASSERT_EQ(queue.Put(Item(std::string(64, 'a')), &seq), TSendQueue::TPut::Waiting);
  std::thread reader([&] { EXPECT_EQ(sink.ReadExact(64), std::string(64, 'a')); });
  EXPECT_TRUE(queue.WaitSent(seq));
  reader.join();
  ASSERT_EQ(queue.Put(Item(std::string(64, 'b')), &seq), TSendQueue::TPut::Waiting);
  EXPECT_FALSE(queue.Finish(std::chrono::steady_clock::now() + 100ms));  // nobody reads
  EXPECT_FALSE(queue.WaitSent(seq));
  EXPECT_EQ(queue.Waiting(), 0u);
}

}  // namespace
}  // namespace vexa

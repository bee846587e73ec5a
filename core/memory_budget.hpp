#pragma once
// One bound on the memory that clients make the server hold at once, summed
// over all connections: request bodies and WebSocket messages in progress,
// and what waits to be sent to WebSocket clients.
// Each holder takes its share through a TMemoryCharge, which gives it back
// when it is released or goes away.

#include <atomic>
#include <cstddef>

namespace vexa {

class TMemoryBudget {
 public:
  explicit TMemoryBudget(size_t limit) : limit_(limit) {}
  TMemoryBudget(const TMemoryBudget&) = delete;
  TMemoryBudget& operator=(const TMemoryBudget&) = delete;

  // Set before any charge is taken.
  void SetLimit(size_t bytes) { limit_ = bytes; }
  size_t Limit() const { return limit_; }
  // Bytes charged now, over all holders.
  size_t Held() const { return held_.load(); }

 private:
  friend class TMemoryCharge;
  // Adds `bytes` unless the sum would pass the limit.
  bool Take(size_t bytes);
  void Give(size_t bytes) { held_.fetch_sub(bytes); }

  size_t limit_;
  std::atomic<size_t> held_{0};
};

// The share of one holder (a request, a WebSocket connection). Without a
// budget every growth succeeds.
class TMemoryCharge {
 public:
  explicit TMemoryCharge(TMemoryBudget* budget) : budget_(budget) {}
  ~TMemoryCharge() { Release(); }
  TMemoryCharge(const TMemoryCharge&) = delete;
  TMemoryCharge& operator=(const TMemoryCharge&) = delete;

  // Raises the share to `bytes`; false, holding what it held, when the sum
  // over all holders would pass the budget. A smaller `bytes` changes nothing.
  bool GrowTo(size_t bytes);
  // Gives back what lies above `bytes`.
  void ShrinkTo(size_t bytes);
  // Gives the whole share back.
  void Release();
  size_t Charged() const { return charged_; }

 private:
  TMemoryBudget* budget_;
  size_t charged_ = 0;
};

}  // namespace vexa

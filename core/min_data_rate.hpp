#pragma once
// The progress a request body or a WebSocket message in progress must make.
//
// A limit on each single read alone lets a client hold what it has sent so
// far for as long as it likes by sending one byte just inside that limit.
// So time is cut into spans of `span` from the first byte on, and every span
// that ends before the body or message is complete must have brought at least
// `minBytes` bytes, or the rest of it when less is missing. A client that
// stops moving is thus ended within two spans, whatever it sent before; one
// that sends at a few KiB/s or faster never is.
//
// The reader asks ReadTimeout before each read (the read may wait no longer
// than the span that decides next) and reports each read's bytes to Arrived,
// which also takes 0 for a read that timed out.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <limits>

namespace vexa {

struct TDataRateRule {
  std::chrono::milliseconds span{10000};
  size_t minBytes = 64 * 1024;
};

class TMinDataRate {
 public:
  using Clock = std::chrono::steady_clock;

  explicit TMinDataRate(TDataRateRule rule = {}) : rule_(rule) {}

  const TDataRateRule& Rule() const { return rule_; }

  // The first byte of a body or message has arrived (or is awaited now);
  // `missing` is how many bytes it still lacks (unknown: the maximum).
  void Start(size_t missing = std::numeric_limits<size_t>::max(), Clock::time_point now = Clock::now()) {
    spanStart_ = now;
    spanBytes_ = 0;
    missing_ = spanMissing_ = missing;
    started_ = true;
  }
  void Stop() { started_ = false; }
  bool Started() const { return started_; }
  // What the body or message still lacks, when that changes otherwise than
  // by arriving bytes (a new frame announces its length).
  void SetMissing(size_t missing) {
    missing_ = missing;
    const size_t most = std::numeric_limits<size_t>::max();
    spanMissing_ = std::max(spanMissing_, missing > most - spanBytes_ ? most : spanBytes_ + missing);
  }

  // Counts `bytes` that arrived at `now`; false when a span ended with too
  // little, so the body or message must be ended.
  bool Arrived(size_t bytes, Clock::time_point now = Clock::now()) {
    if (!started_) return true;
    while (now - spanStart_ >= rule_.span) {
      if (!SpanMet()) return false;
      spanStart_ += rule_.span;
      spanBytes_ = 0;
      spanMissing_ = missing_;
    }
    spanBytes_ += bytes;
    missing_ -= std::min(missing_, bytes);
    return true;
  }

  // How long the next read may wait: `perRead`, or less when the span that
  // decides next ends sooner (at least 1 ms). Zero `perRead` means no limit
  // of its own.
  std::chrono::milliseconds ReadTimeout(std::chrono::milliseconds perRead,
                                        Clock::time_point now = Clock::now()) const {
    if (!started_) return perRead;
    const auto decides = spanStart_ + (SpanMet() ? 2 : 1) * rule_.span;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(decides - now);
    left = std::max(left, std::chrono::milliseconds(1));
    return perRead.count() == 0 ? left : std::min(perRead, left);
  }

 private:
  // A span is met by `minBytes`, or by all that was missing when it began.
  bool SpanMet() const { return spanBytes_ >= std::min(rule_.minBytes, spanMissing_); }

  TDataRateRule rule_;
  Clock::time_point spanStart_{};
  size_t spanBytes_ = 0;
  size_t missing_ = std::numeric_limits<size_t>::max();
  size_t spanMissing_ = std::numeric_limits<size_t>::max();  // missing_ as the span began
  bool started_ = false;
};

}  // namespace vexa

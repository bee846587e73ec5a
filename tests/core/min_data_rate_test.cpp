#include "core/min_data_rate.hpp"

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace std::chrono_literals;
using Clock = TMinDataRate::Clock;

TEST(MinDataRate, ATrickleAfterABurstIsEndedWithinTwoSpans) {
  TMinDataRate rate({10s, 64 * 1024});
  const auto t0 = Clock::time_point{} + 1000s;
  rate.Start(32u << 20, t0);
  EXPECT_TRUE(rate.Arrived(31u << 20, t0 + 1s));  // most of it, fast
  // The span that held the burst is met, so the next read may wait until
  // the following span decides.
  EXPECT_EQ(rate.ReadTimeout(30s, t0 + 1s), 19s);
  EXPECT_TRUE(rate.Arrived(1, t0 + 12s));
  // The second span has only one byte: the read may wait until its end.
  EXPECT_EQ(rate.ReadTimeout(30s, t0 + 12s), 8s);
  EXPECT_FALSE(rate.Arrived(0, t0 + 20s));
  EXPECT_FALSE(rate.Arrived(1, t0 + 25s));
}

TEST(MinDataRate, SteadySendersAndShortRestsAreNeverEnded) {
  TMinDataRate rate({10s, 64 * 1024});
  const auto t0 = Clock::time_point{} + 1000s;
  rate.Start(64u << 20, t0);
  for (int ms = 0; ms < 120000; ms += 100)  // 128 KiB/s for two minutes
    ASSERT_TRUE(rate.Arrived(128 * 1024 / 10, t0 + std::chrono::milliseconds(ms))) << ms;
  // A message missing less than the minimum needs only that rest per span.
  TMinDataRate small({10s, 64 * 1024});
  small.Start(1000, t0);
  EXPECT_TRUE(small.Arrived(1000, t0 + 9s));
  EXPECT_TRUE(small.Arrived(0, t0 + 25s));
  TMinDataRate slowSmall({10s, 64 * 1024});
  slowSmall.Start(1000, t0);
  EXPECT_TRUE(slowSmall.Arrived(400, t0 + 9s));
  EXPECT_FALSE(slowSmall.Arrived(600, t0 + 12s));  // its first span brought less than its rest
  // More announced within a span raises what that span must bring.
  TMinDataRate frames({10s, 64 * 1024});
  frames.Start(10, t0);
  EXPECT_TRUE(frames.Arrived(10, t0 + 1s));
  frames.SetMissing(1u << 20);
  EXPECT_FALSE(frames.Arrived(0, t0 + 10s));
  // No per-read limit of its own: the span decides; not started: no limit.
  TMinDataRate idle;
  EXPECT_EQ(idle.ReadTimeout(0ms), 0ms);
  idle.Start(100, t0);
  EXPECT_EQ(idle.ReadTimeout(0ms, t0 + 4s), 6s);
  EXPECT_EQ(idle.ReadTimeout(0ms, t0 + 11s), 1ms);
}

}  // namespace
}  // namespace vexa

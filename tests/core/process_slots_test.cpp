// The process bound and its two shares: what applications may take, what is
// always left to requests, and how a waiting request gets a slot or gives up.

#include "core/process_slots.hpp"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

namespace vexa {
namespace {

using namespace std::chrono_literals;

TProcessLimits Small() {
  TProcessLimits limits;
  limits.MaxProcesses = 4;
  limits.MaxAppProcesses = 3;
  return limits;
}

TEST(ProcessSlots, ApplicationsHoldOnlyTheirShareAndRequestsFindTheRest) {
  TProcessSlots slots(Small());
  std::vector<TProcessSlot> apps;
  for (int i = 0; i < 3; ++i) apps.push_back(slots.TryTake(TProcessKind::Application));
  for (const auto& s : apps) EXPECT_TRUE(s);
  EXPECT_FALSE(slots.TryTake(TProcessKind::Application));
  EXPECT_EQ(slots.BusyText(TProcessKind::Application),
            "WebSocket applications and their child processes hold as many PHP processes as they may at once "
            "(3 of 4)");
  // The last slot is a request's, also without waiting.
  TProcessSlot request = slots.Take(TProcessKind::Request, 0ms);
  ASSERT_TRUE(request);
  EXPECT_EQ(slots.InUse(), 4u);
  EXPECT_EQ(slots.AppsInUse(), 3u);
  EXPECT_FALSE(slots.TryTake(TProcessKind::Request));
  EXPECT_EQ(slots.BusyText(TProcessKind::Request), "the server runs as many PHP processes as it may at once (4)");

  // A slot keeps its kind when it moves: given back, it frees the share it
  // came from.
  TProcessSlot moved = std::move(apps[0]);
  EXPECT_FALSE(apps[0]);
  apps[1] = std::move(moved);  // releases what apps[1] held
  EXPECT_EQ(slots.AppsInUse(), 2u);
  EXPECT_EQ(slots.InUse(), 3u);
  // Requests fill the whole bound: applications then find nothing, though
  // their share is not full.
  TProcessSlot second = slots.TryTake(TProcessKind::Request);
  ASSERT_TRUE(second);
  EXPECT_FALSE(slots.TryTake(TProcessKind::Application));
  EXPECT_EQ(slots.BusyText(TProcessKind::Application), "the server runs as many PHP processes as it may at once (4)");
  request.Release();
  request.Release();  // once only
  EXPECT_EQ(slots.InUse(), 3u);
  TProcessSlot app = slots.TryTake(TProcessKind::Application);
  EXPECT_TRUE(app);
  EXPECT_EQ(slots.AppsInUse(), 3u);
  apps.clear();
  app.Release();
  second.Release();
  EXPECT_EQ(slots.InUse(), 0u);
  EXPECT_EQ(slots.AppsInUse(), 0u);
}

TEST(ProcessSlots, AWaitingRequestTakesAFreedSlotOrGivesUpWhenAsked) {
  TProcessSlots slots(Small());
  std::vector<TProcessSlot> held;
  for (int i = 0; i < 3; ++i) held.push_back(slots.TryTake(TProcessKind::Application));
  held.push_back(slots.TryTake(TProcessKind::Request));
  ASSERT_EQ(slots.InUse(), 4u);

  // Asked by a waiting Take about every 100 ms while it waits, and only
  // then: the marker that a waiter is waiting.
  std::mutex m;
  std::condition_variable cv;
  std::atomic<int> asked{0};
  std::atomic<bool> gone{false};
  auto giveUp = [&] {
    {
      std::lock_guard<std::mutex> lock(m);
      ++asked;
    }
    cv.notify_all();
    return gone.load();
  };
  auto waitUntilAsked = [&] {
    std::unique_lock<std::mutex> lock(m);
    return cv.wait_for(lock, 30s, [&] { return asked > 0; });
  };

  // A freed application slot lets a waiting request go.
  auto waiting = std::async(std::launch::async, [&] { return slots.Take(TProcessKind::Request, 40s, giveUp); });
  ASSERT_TRUE(waitUntilAsked());
  ASSERT_EQ(waiting.wait_for(0s), std::future_status::timeout);
  held[0].Release();
  TProcessSlot got = waiting.get();
  ASSERT_TRUE(got);
  EXPECT_EQ(slots.AppsInUse(), 2u);
  EXPECT_EQ(slots.InUse(), 4u);

  // A waiter whose give-up says so stops long before its wait is over, and
  // takes nothing.
  asked = 0;
  auto leaving = std::async(std::launch::async, [&] { return slots.Take(TProcessKind::Request, 40s, giveUp); });
  ASSERT_TRUE(waitUntilAsked());
  ASSERT_EQ(leaving.wait_for(0s), std::future_status::timeout);
  const auto t0 = std::chrono::steady_clock::now();
  gone = true;
  EXPECT_FALSE(leaving.get());
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 20s);
  EXPECT_EQ(slots.InUse(), 4u);

  // A wait that runs out takes nothing.
  EXPECT_FALSE(slots.Take(TProcessKind::Request, 50ms));
  got.Release();
  held.clear();
  EXPECT_EQ(slots.InUse(), 0u);
}

}  // namespace
}  // namespace vexa

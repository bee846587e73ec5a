#include "core/thread_manager.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vexa {
namespace {

using namespace std::chrono_literals;

TEST(ThreadManager, RunAllWaitsForTheLongestWorker) {
  TThreadManager tm;
  std::atomic<bool> longDone{false};
  tm.AddThread("quick", [] {});
  tm.AddThread("long", [&] {
    std::this_thread::sleep_for(300ms);
    longDone = true;
  });
  const auto t0 = std::chrono::steady_clock::now();
  tm.RunAll();
  EXPECT_TRUE(longDone);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 290ms);
  tm.StopAll();
  EXPECT_EQ(tm.Count(), 0u);
  tm.StopAll();  // a second stop does nothing
}

TEST(ThreadManager, RunAllStartsEveryWorkerBeforeWaitingForAny) {
  // Each worker waits until all have begun: started one after another, the
  // first would wait for a second that only starts once the first has ended.
  // The bound only ends such a wait; workers started together meet at once.
  constexpr int kWorkers = 3;
  std::mutex m;
  std::condition_variable cv;
  int begun = 0;
  std::atomic<int> met{0};
  TThreadManager tm;
  for (int i = 0; i < kWorkers; ++i) {
    tm.AddThread("w" + std::to_string(i), [&] {
      std::unique_lock<std::mutex> lock(m);
      ++begun;
      cv.notify_all();
      if (cv.wait_for(lock, 20s, [&] { return begun == kWorkers; })) ++met;
    });
  }
  tm.RunAll();
  EXPECT_EQ(met, kWorkers);
}

TEST(ThreadManager, RaisingWorkerStillLetsRunAllReturnSilently) {
  TThreadManager tm;
  std::atomic<int> ran{0};
  tm.AddThread("bad", [] { throw std::runtime_error("boom"); });
  tm.AddThread("good", [&] { ++ran; });
  tm.AddThread("empty", nullptr);
  testing::internal::CaptureStdout();
  tm.RunAll();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(ran, 1);
}

TEST(ThreadManager, DuplicateNamesRaiseAndCaseMatters) {
  TThreadManager tm;
  tm.AddThread("webbrowser", [] {});
  try {
    tm.AddThread("webbrowser", [] {});
    FAIL();
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "Thread with key \"webbrowser\" already exists.");
  }
  tm.AddThread("WebBrowser", [] {});
  EXPECT_EQ(tm.Count(), 2u);
  tm.RunAll();
}

TEST(ThreadManager, UnstartedWorkersEndWithoutWaitingOrRunning) {
  std::atomic<bool> ran{false};
  {
    TThreadManager tm;
    tm.AddThread("never", [&] { ran = true; });
  }  // destroyed before RunAll
  EXPECT_FALSE(ran);
  TThreadManager empty;
  empty.RunAll();  // no workers: returns at once
}

TEST(WorkerThread, KeepsTheEscapingExceptionAndUsesALargeStack) {
  size_t stack = 0;  // the size the thread really has, not the default one
  TWorkerThread w([&] {
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &stack);
    pthread_attr_destroy(&attr);
    throw std::runtime_error("kept");
  });
  w.Start();
  w.WaitFor();
  EXPECT_TRUE(stack >= (4u << 20) && stack < (5u << 20)) << stack;
  ASSERT_TRUE(w.FatalException());
  EXPECT_THROW(std::rethrow_exception(w.FatalException()), std::runtime_error);
}

}  // namespace
}  // namespace vexa

#include "platform/signals.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <vector>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

using namespace vexa::platform;
using namespace std::chrono_literals;

TEST(SignalWatcher, DeliversTerminationSignalsOnItsOwnThreadAndRestores) {
  std::mutex m;
  std::condition_variable cv;
  std::vector<int> got;
  std::thread::id cbThread;
  {
    SignalWatcher w([&](int sig) {
      std::lock_guard<std::mutex> lock(m);
      got.push_back(sig);
      cbThread = std::this_thread::get_id();
      cv.notify_all();
    });
    ::kill(::getpid(), SIGTERM);
    ::kill(::getpid(), SIGHUP);
    ::kill(::getpid(), SIGINT);
    std::unique_lock<std::mutex> lock(m);
    ASSERT_TRUE(cv.wait_for(lock, 5s, [&] { return got.size() == 3; }));
    EXPECT_NE(cbThread, std::this_thread::get_id());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<int>{SIGHUP, SIGINT, SIGTERM}));
    // A write into a pipe without reader is an error, not the end of us.
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    EXPECT_EQ(::write(fds[1], "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ::close(fds[1]);
  }
  struct sigaction now{};
  ::sigaction(SIGTERM, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
  ::sigaction(SIGQUIT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);

  // A second watcher while one exists is refused; after it, a new one works.
  SignalWatcher again([](int) {});
  EXPECT_THROW(SignalWatcher([](int) {}), std::logic_error);
}

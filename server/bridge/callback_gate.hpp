#pragma once
// CallbackGate: lets callbacks of other threads into an object only while the
// object is alive. The object's destructor closes the gate: no new callback
// enters, and it waits for the ones already inside, except a callback of its
// own thread (the object may be destroyed from inside one of its callbacks).
//
// The gate itself is shared (std::shared_ptr) by the object and every
// callback closure, so that a late callback finds a closed gate, not freed
// memory.

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vexa {

class CallbackGate {
 public:
  // Runs f() unless the gate is closed; true when it ran.
  template <class F>
  bool Run(F&& f) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!open_) return false;
      inside_.push_back(std::this_thread::get_id());
    }
    struct Leave {
      CallbackGate* gate;
      ~Leave() { gate->Leave(); }
    } leave{this};
    f();
    return true;
  }

  // No callback enters from now on; returns at once.
  void Shut() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = false;
  }
  // Waits until every callback inside has left, except those of this thread.
  void Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto me = std::this_thread::get_id();
    cv_.wait(lock, [&] { return std::all_of(inside_.begin(), inside_.end(), [&](auto id) { return id == me; }); });
  }
  bool IsOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
  }

 private:
  void Leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find(inside_.begin(), inside_.end(), std::this_thread::get_id());
    if (it != inside_.end()) inside_.erase(it);
    cv_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = true;
  std::vector<std::thread::id> inside_;
};

}  // namespace vexa

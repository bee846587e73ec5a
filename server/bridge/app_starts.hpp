#pragma once
// TAppStarts: the WebSocket applications whose processes are starting, by
// name, so that windows opening together are served once each.
//
// Every window's first message for an application that no process serves yet
// starts a process of its own. When that application makes itself global
// ("setglobal") in its first reply, the windows that opened meanwhile must
// join it instead: a process started for them would handle their first
// message and then be retired. So a first message waits, on its own
// connection's thread, until each start of the same application begun before
// it has settled (its first reply was handled whole, or it ended, or it never
// came to be), at most kBound after that start began; it then joins the
// global application if there is one by now, else starts its own process.
// Starts begun after it do not hold it up, so first messages of an
// application that stays per connection start side by side.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

class TAppStarts {
 public:
  using Id = uint64_t;
  // How long a start keeps later first messages of its application waiting.
  static constexpr std::chrono::milliseconds kBound{1000};

  // A first message for `name` is about to start a process (or to find that
  // it need not); the id stands for that start until it settles.
  Id Begin(const std::string& name);
  // The start has settled; any number of times, also for an id that never
  // started a process.
  void Settle(const std::string& name, Id id);
  // Waits until every start of `name` begun before `id` has settled or began
  // more than kBound ago.
  void WaitForEarlier(const std::string& name, Id id);

  // A start of the server's table that settles when the ticket goes, unless
  // it was handed on.
  class Ticket {
   public:
    Ticket(const std::string& name, Id id) : name_(name), id_(id) {}
    ~Ticket();
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    Id id() const { return id_; }
    Id Release() { return std::exchange(id_, 0); }

   private:
    const std::string& name_;
    Id id_;
  };

 private:
  struct Start {
    Id id;
    std::chrono::steady_clock::time_point since;
  };
  std::mutex mutex_;
  std::condition_variable settled_;
  std::map<std::string, std::vector<Start>> starts_;  // the unsettled ones, oldest first
  Id next_ = 1;
};

// The server's one table of starts.
TAppStarts& AppStarts();

}  // namespace vexa

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
// came to be), at most Bound after that start began; it then joins the
// global application if there is one by now, else starts its own process.
//
// Whether an application's processes make themselves global is learned from
// the first reply of each of its processes. A name known to stay per
// connection never waits, so its windows start side by side; a name that
// made itself global, or is not known yet, waits as above. Starts begun
// after a first message never hold it up.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vexa {

class TAppStarts {
 public:
  using Id = uint64_t;
  // How an application's processes turned out in their first reply.
  enum class TKind { Unknown, Global, PerConnection };

  // How long a start keeps later first messages of its application waiting:
  // far beyond any honest start, so that a slow one is still joined.
  static constexpr std::chrono::milliseconds kBound{30000};
  // How many names the table remembers the kind of; the oldest learned is
  // forgotten first (a forgotten name waits as an unknown one does).
  static constexpr size_t kMaxKnownNames = 1024;

  explicit TAppStarts(std::chrono::milliseconds bound = kBound) : Bound(bound) {}

  // A first message for `name` is about to start a process (or to find that
  // it need not); the id stands for that start until it settles.
  Id Begin(const std::string& name);
  // The start has settled; any number of times, also for an id that never
  // started a process (id 0 only learns). `kind` is what its first reply
  // showed (Unknown when the process ended or never came to be: what was
  // known stays).
  void Settle(const std::string& name, Id id, TKind kind = TKind::Unknown);
  // Waits until every start of `name` begun before `id` has settled or began
  // more than Bound ago; at once for a name known to stay per connection.
  void WaitForEarlier(const std::string& name, Id id);
  TKind KindOf(const std::string& name);

  const std::chrono::milliseconds Bound;

  // A start of one table that settles there when the ticket goes, unless it
  // was handed on.
  class Ticket {
   public:
    Ticket(TAppStarts& table, std::string name, Id id) : table_(table), name_(std::move(name)), id_(id) {}
    ~Ticket();
    Ticket(const Ticket&) = delete;
    Ticket& operator=(const Ticket&) = delete;
    Id id() const { return id_; }
    Id Release() { return std::exchange(id_, 0); }

   private:
    TAppStarts& table_;
    const std::string name_;
    Id id_;
  };

 private:
  struct Start {
    Id id;
    std::chrono::steady_clock::time_point since;
  };
  void LearnLocked(const std::string& name, TKind kind);

  std::mutex mutex_;
  std::condition_variable settled_;
  std::map<std::string, std::vector<Start>> starts_;  // the unsettled ones, oldest first
  // What each remembered name turned out to be, and the names in the order
  // they were last learned (oldest first).
  std::map<std::string, std::pair<TKind, std::list<std::string>::iterator>> kinds_;
  std::list<std::string> learned_;
  Id next_ = 1;
};

// The server's one table of starts.
TAppStarts& AppStarts();

}  // namespace vexa

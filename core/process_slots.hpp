#pragma once
// TProcessSlots: the bound on the processes the server runs for PHP at once.
// Every such process holds one TProcessSlot from before its start until it
// has been reaped; a start that gets no slot does not happen.
//
// Two kinds share the bound. Runs for one request (pages, and the short runs
// that read a file out of a .phar) may take any free slot. Processes that
// live as long as their clients want (WebSocket applications and their own
// child processes) may together hold only part of the slots, so that the
// rest is always left to requests: however many applications clients keep
// open, a page finds a slot within its wait unless pages fill the rest.
//
// TProcessLimits holds the bounds; the server's one counter (Instance) has
// the defaults, which no command line changes. Tests make counters of their
// own with smaller bounds.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

namespace vexa {

struct TProcessLimits {
  // Processes for PHP of the whole server at once.
  size_t MaxProcesses = 256;
  // Of those, WebSocket applications and their child processes together.
  size_t MaxAppProcesses = 192;
  // Applications that one WebSocket connection runs at once.
  size_t MaxAppsPerConnection = 32;
  // How long a request waits for a free slot before it is answered 503.
  std::chrono::milliseconds PageWait{10000};
};

// Who a slot is for (see above).
enum class TProcessKind {
  Request,      // a page, or a file read out of a .phar
  Application,  // a WebSocket application, or an application's child process
};

class TProcessSlots;

// One taken slot, given back when it is released or destroyed; an empty one
// (false) stands for a refusal. Move-only.
class TProcessSlot {
 public:
  TProcessSlot() = default;
  TProcessSlot(TProcessSlot&& other) noexcept;
  TProcessSlot& operator=(TProcessSlot&& other) noexcept;
  TProcessSlot(const TProcessSlot&) = delete;
  TProcessSlot& operator=(const TProcessSlot&) = delete;
  ~TProcessSlot() { Release(); }

  explicit operator bool() const { return owner_ != nullptr; }
  void Release();
  // The counter the slot was taken from (null when empty).
  TProcessSlots* Owner() const { return owner_; }

 private:
  friend class TProcessSlots;
  TProcessSlot(TProcessSlots* owner, TProcessKind kind) : owner_(owner), kind_(kind) {}
  TProcessSlots* owner_ = nullptr;
  TProcessKind kind_ = TProcessKind::Request;
};

class TProcessSlots {
 public:
  explicit TProcessSlots(const TProcessLimits& limits = {}) : limits_(limits) {}
  TProcessSlots(const TProcessSlots&) = delete;
  TProcessSlots& operator=(const TProcessSlots&) = delete;
  // Every slot taken from a counter must be given back before it goes.
  ~TProcessSlots() = default;

  // The server's one counter, with the default bounds.
  static TProcessSlots& Instance();

  const TProcessLimits& Limits() const { return limits_; }

  // A slot at once, or an empty one when none is free for `kind`.
  TProcessSlot TryTake(TProcessKind kind);
  // A slot as soon as one is free for `kind`, waiting at most `wait`; empty
  // when none became free in time, or as soon as `giveUp` (asked every
  // 100 ms while it waits) says so.
  TProcessSlot Take(TProcessKind kind, std::chrono::milliseconds wait, const std::function<bool()>& giveUp = {});
  // Slots held, all kinds together / by applications and their children.
  size_t InUse() const;
  size_t AppsInUse() const;

  // The reason a slot for `kind` was refused, for console lines.
  std::string BusyText(TProcessKind kind) const;

 private:
  friend class TProcessSlot;
  bool FreeForLocked(TProcessKind kind) const;
  void Give(TProcessKind kind);

  const TProcessLimits limits_;
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  size_t inUse_ = 0;
  size_t appsInUse_ = 0;
};

}  // namespace vexa

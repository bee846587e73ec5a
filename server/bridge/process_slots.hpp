#pragma once
// TProcessSlots: the bound on the processes the server runs for PHP at once
// (pages, WebSocket applications and the applications' own child processes,
// all together). Every such process holds one TProcessSlot from before its
// start until it has been reaped; a start that gets no slot does not happen.
//
// TProcessLimits holds the bounds; the defaults are the server's, and only
// tests change them (SetLimits), never the command line.

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
  // Applications that one WebSocket connection runs at once.
  size_t MaxAppsPerConnection = 32;
  // How long a page waits for a free slot before it is answered 503.
  std::chrono::milliseconds PageWait{10000};
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

 private:
  friend class TProcessSlots;
  explicit TProcessSlot(TProcessSlots* owner) : owner_(owner) {}
  TProcessSlots* owner_ = nullptr;
};

class TProcessSlots {
 public:
  // The server's one counter.
  static TProcessSlots& Instance();

  TProcessLimits Limits() const;
  void SetLimits(const TProcessLimits& limits);

  // A slot at once, or an empty one when all are taken.
  TProcessSlot TryTake();
  // A slot as soon as one is free, waiting at most `wait`; empty when none
  // became free in time, or as soon as `giveUp` (asked every 100 ms) says so.
  TProcessSlot Take(std::chrono::milliseconds wait, const std::function<bool()>& giveUp = {});
  size_t InUse() const;

  // The reason of a refusal, for console lines.
  std::string BusyText() const;

 private:
  friend class TProcessSlot;
  void Give();

  mutable std::mutex mutex_;
  std::condition_variable freed_;
  TProcessLimits limits_;
  size_t inUse_ = 0;
};

}  // namespace vexa

#include "server/bridge/process_slots.hpp"

#include <algorithm>
#include <utility>

namespace vexa {

TProcessSlot::TProcessSlot(TProcessSlot&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}

TProcessSlot& TProcessSlot::operator=(TProcessSlot&& other) noexcept {
  if (this != &other) {
    Release();
    owner_ = std::exchange(other.owner_, nullptr);
  }
  return *this;
}

void TProcessSlot::Release() {
  if (TProcessSlots* owner = std::exchange(owner_, nullptr)) owner->Give();
}

TProcessSlots& TProcessSlots::Instance() {
  // Never destroyed: a runner thread may give its slot back while the
  // process exits.
  static TProcessSlots* const slots = new TProcessSlots;
  return *slots;
}

TProcessLimits TProcessSlots::Limits() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return limits_;
}

void TProcessSlots::SetLimits(const TProcessLimits& limits) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    limits_ = limits;
  }
  freed_.notify_all();  // a higher bound may let waiting pages go
}

TProcessSlot TProcessSlots::TryTake() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (inUse_ >= limits_.MaxProcesses) return TProcessSlot();
  ++inUse_;
  return TProcessSlot(this);
}

TProcessSlot TProcessSlots::Take(std::chrono::milliseconds wait, const std::function<bool()>& giveUp) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::unique_lock<std::mutex> lock(mutex_);
  while (inUse_ >= limits_.MaxProcesses) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return TProcessSlot();
    // In slices, so that a waiter whose client went away stops waiting.
    freed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(100)));
    if (giveUp && inUse_ >= limits_.MaxProcesses) {
      lock.unlock();
      const bool stop = giveUp();
      lock.lock();
      if (stop) return TProcessSlot();
    }
  }
  ++inUse_;
  return TProcessSlot(this);
}

size_t TProcessSlots::InUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inUse_;
}

std::string TProcessSlots::BusyText() const {
  return "the server runs as many PHP processes as it may at once (" + std::to_string(Limits().MaxProcesses) + ")";
}

void TProcessSlots::Give() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --inUse_;
  }
  freed_.notify_one();
}

}  // namespace vexa

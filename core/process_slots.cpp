#include "core/process_slots.hpp"

#include <algorithm>
#include <utility>

namespace vexa {

TProcessSlot::TProcessSlot(TProcessSlot&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)), kind_(other.kind_) {}

TProcessSlot& TProcessSlot::operator=(TProcessSlot&& other) noexcept {
  if (this != &other) {
    Release();
    owner_ = std::exchange(other.owner_, nullptr);
    kind_ = other.kind_;
  }
  return *this;
}

void TProcessSlot::Release() {
  if (TProcessSlots* owner = std::exchange(owner_, nullptr)) owner->Give(kind_);
}

TProcessSlots& TProcessSlots::Instance() {
  // Never destroyed: a runner thread may give its slot back while the
  // process exits.
  static TProcessSlots* const slots = new TProcessSlots;
  return *slots;
}

bool TProcessSlots::FreeForLocked(TProcessKind kind) const {
  if (inUse_ >= limits_.MaxProcesses) return false;
  return kind != TProcessKind::Application || appsInUse_ < limits_.MaxAppProcesses;
}

TProcessSlot TProcessSlots::TryTake(TProcessKind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!FreeForLocked(kind)) return TProcessSlot();
  ++inUse_;
  if (kind == TProcessKind::Application) ++appsInUse_;
  return TProcessSlot(this, kind);
}

TProcessSlot TProcessSlots::Take(TProcessKind kind, std::chrono::milliseconds wait,
                                 const std::function<bool()>& giveUp) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  std::unique_lock<std::mutex> lock(mutex_);
  while (!FreeForLocked(kind)) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return TProcessSlot();
    // In slices, so that a waiter whose client went away stops waiting.
    freed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(100)));
    if (giveUp && !FreeForLocked(kind)) {
      lock.unlock();
      const bool stop = giveUp();
      lock.lock();
      if (stop) return TProcessSlot();
    }
  }
  ++inUse_;
  if (kind == TProcessKind::Application) ++appsInUse_;
  return TProcessSlot(this, kind);
}

size_t TProcessSlots::InUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return inUse_;
}

size_t TProcessSlots::AppsInUse() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return appsInUse_;
}

std::string TProcessSlots::BusyText(TProcessKind kind) const {
  std::unique_lock<std::mutex> lock(mutex_);
  if (kind == TProcessKind::Application && inUse_ < limits_.MaxProcesses)
    return "WebSocket applications and their child processes hold as many PHP processes as they may at once (" +
           std::to_string(limits_.MaxAppProcesses) + " of " + std::to_string(limits_.MaxProcesses) + ")";
  return "the server runs as many PHP processes as it may at once (" + std::to_string(limits_.MaxProcesses) + ")";
}

void TProcessSlots::Give(TProcessKind kind) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --inUse_;
    if (kind == TProcessKind::Application) --appsInUse_;
  }
  // Every waiter: a freed application slot may let no one go, a freed
  // request slot any one waiter.
  freed_.notify_all();
}

}  // namespace vexa

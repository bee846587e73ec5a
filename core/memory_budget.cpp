#include "core/memory_budget.hpp"

namespace vexa {

bool TMemoryBudget::Take(size_t bytes) {
  size_t now = held_.load();
  do {
    if (now > limit_ || bytes > limit_ - now) return false;
  } while (!held_.compare_exchange_weak(now, now + bytes));
  return true;
}

bool TMemoryCharge::GrowTo(size_t bytes) {
  if (bytes <= charged_) return true;
  if (budget_ && !budget_->Take(bytes - charged_)) return false;
  charged_ = bytes;
  return true;
}

void TMemoryCharge::ShrinkTo(size_t bytes) {
  if (bytes >= charged_) return;
  if (budget_) budget_->Give(charged_ - bytes);
  charged_ = bytes;
}

void TMemoryCharge::Release() {
  if (budget_ && charged_) budget_->Give(charged_);
  charged_ = 0;
}

}  // namespace vexa

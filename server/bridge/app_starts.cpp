#include "server/bridge/app_starts.hpp"

#include <algorithm>

namespace vexa {

TAppStarts& AppStarts() {
  static TAppStarts starts;
  return starts;
}

TAppStarts::Ticket::~Ticket() {
  if (id_ != 0) AppStarts().Settle(name_, id_);
}

TAppStarts::Id TAppStarts::Begin(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Id id = next_++;
  starts_[name].push_back({id, std::chrono::steady_clock::now()});
  return id;
}

void TAppStarts::Settle(const std::string& name, Id id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = starts_.find(name);
  if (it == starts_.end()) return;
  auto& list = it->second;
  list.erase(std::remove_if(list.begin(), list.end(), [id](const Start& s) { return s.id == id; }), list.end());
  if (list.empty()) starts_.erase(it);
  settled_.notify_all();
}

void TAppStarts::WaitForEarlier(const std::string& name, Id id) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // The oldest earlier start still unsettled and young enough to wait for.
    const auto now = std::chrono::steady_clock::now();
    auto it = starts_.find(name);
    if (it == starts_.end()) return;
    const Start* blocking = nullptr;
    for (const Start& s : it->second) {
      if (s.id >= id) break;  // ids grow with the list
      if (now < s.since + kBound) {
        blocking = &s;
        break;
      }
    }
    if (blocking == nullptr) return;
    settled_.wait_until(lock, blocking->since + kBound);
  }
}

}  // namespace vexa

#include "server/bridge/app_starts.hpp"

#include <algorithm>

namespace vexa {

TAppStarts& AppStarts() {
  static TAppStarts starts;
  return starts;
}

TAppStarts::Ticket::~Ticket() {
  if (id_ != 0) table_.Settle(name_, id_);
}

TAppStarts::Id TAppStarts::Begin(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Id id = next_++;
  starts_[name].push_back({id, std::chrono::steady_clock::now()});
  return id;
}

void TAppStarts::LearnLocked(const std::string& name, TKind kind) {
  auto it = kinds_.find(name);
  if (it != kinds_.end()) {
    it->second.first = kind;
    learned_.splice(learned_.end(), learned_, it->second.second);
    return;
  }
  if (kinds_.size() >= kMaxKnownNames) {
    kinds_.erase(learned_.front());
    learned_.pop_front();
  }
  learned_.push_back(name);
  kinds_.emplace(name, std::make_pair(kind, std::prev(learned_.end())));
}

void TAppStarts::Settle(const std::string& name, Id id, TKind kind) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (kind != TKind::Unknown) LearnLocked(name, kind);
  auto it = starts_.find(name);
  if (it != starts_.end()) {
    auto& unsettled = it->second;
    unsettled.erase(std::remove_if(unsettled.begin(), unsettled.end(), [id](const Start& s) { return s.id == id; }),
                    unsettled.end());
    if (unsettled.empty()) starts_.erase(it);
  }
  settled_.notify_all();
}

TAppStarts::TKind TAppStarts::KindOf(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = kinds_.find(name);
  return it == kinds_.end() ? TKind::Unknown : it->second.first;
}

void TAppStarts::WaitForEarlier(const std::string& name, Id id) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Learned meanwhile, too: the waiters of a name that turned out to stay
    // per connection all go at once.
    auto kind = kinds_.find(name);
    if (kind != kinds_.end() && kind->second.first == TKind::PerConnection) return;
    // The oldest earlier start still unsettled and young enough to wait for.
    const auto now = std::chrono::steady_clock::now();
    auto it = starts_.find(name);
    if (it == starts_.end()) return;
    const Start* blocking = nullptr;
    for (const Start& s : it->second) {
      if (s.id >= id) break;  // ids grow with the list
      if (now < s.since + Bound) {
        blocking = &s;
        break;
      }
    }
    if (blocking == nullptr) return;
    settled_.wait_until(lock, blocking->since + Bound);
  }
}

}  // namespace vexa

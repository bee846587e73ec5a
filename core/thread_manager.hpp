#pragma once
// TThreadManager: named worker threads, started together and waited for together.
// All operations run on the owner's thread.

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/worker_thread.hpp"

namespace vexa {

class TThreadManager {
 public:
  TThreadManager() = default;
  ~TThreadManager();  // StopAll
  TThreadManager(const TThreadManager&) = delete;
  TThreadManager& operator=(const TThreadManager&) = delete;

  // Raises 'Thread with key "name" already exists.' for a name already present.
  void AddThread(const std::string& name, std::function<void()> proc);
  // Starts every worker, then waits until all have ended.
  void RunAll();
  // Terminates, waits for and frees every worker; a failing step prints
  // "TM Error:- " + message and ends the walk. Threads is emptied in every case.
  void StopAll();
  size_t Count() const { return Threads.size(); }

 private:
  std::unordered_map<std::string, std::unique_ptr<TWorkerThread>> Threads;
};

}  // namespace vexa

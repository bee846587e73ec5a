#include "core/thread_manager.hpp"

#include <exception>
#include <stdexcept>

#include "core/globals.hpp"

namespace vexa {

TThreadManager::~TThreadManager() { StopAll(); }

void TThreadManager::AddThread(const std::string& name, std::function<void()> proc) {
  if (Threads.count(name)) throw std::runtime_error("Thread with key \"" + name + "\" already exists.");
  Threads.emplace(name, std::make_unique<TWorkerThread>(std::move(proc)));
}

void TThreadManager::RunAll() {
  for (auto& [name, worker] : Threads) worker->Start();
  for (auto& [name, worker] : Threads) worker->WaitFor();
}

void TThreadManager::StopAll() {
  try {
    for (auto& [name, worker] : Threads) {
      worker->Terminate();
      worker->WaitFor();
      worker.reset();
    }
  } catch (const std::exception& e) {
    WriteLine(std::string("TM Error:- ") + e.what());
  }
  Threads.clear();
}

}  // namespace vexa

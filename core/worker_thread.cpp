#include "core/worker_thread.hpp"

#include <cstring>
#include <stdexcept>
#include <string>

namespace vexa {

TWorkerThread::TWorkerThread(std::function<void()> proc) : Proc(std::move(proc)) {}

TWorkerThread::~TWorkerThread() {
  // A started thread is told to terminate and waited for; one that never
  // started has nothing to wait for and simply goes away.
  Terminate();
  WaitFor();
}

void* TWorkerThread::ThreadMain(void* self) {
  static_cast<TWorkerThread*>(self)->Execute();
  return nullptr;
}

void TWorkerThread::Execute() {
  try {
    if (Proc) Proc();
  } catch (...) {
    fatal_ = std::current_exception();  // kept with the thread; nothing is written
  }
}

void TWorkerThread::Start() {
  if (started_) return;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, StackSize);
  const int rc = pthread_create(&thread_, &attr, &TWorkerThread::ThreadMain, this);
  pthread_attr_destroy(&attr);
  if (rc != 0) throw std::runtime_error(std::string("Thread creation error: ") + std::strerror(rc));
  started_ = true;
}

void TWorkerThread::WaitFor() {
  if (!started_ || joined_) return;
  pthread_join(thread_, nullptr);
  joined_ = true;
}

}  // namespace vexa

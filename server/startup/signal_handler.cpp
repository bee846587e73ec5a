#include "server/startup/signal_handler.hpp"

#include "platform/signals.hpp"

namespace vexa {

TSignalHandler* CurrentHandler = nullptr;

TSignalHandler::TSignalHandler(SignalEvent onSignal) : OnSignal(std::move(onSignal)) {}

TSignalHandler::~TSignalHandler() { Uninstall(); }

void TSignalHandler::Install() {
  if (watcher_) return;
  CurrentHandler = this;
  // The watcher calls back on its own thread, never inside the signal handler.
  watcher_ = std::make_unique<platform::SignalWatcher>([](int) {
    if (CurrentHandler) CurrentHandler->Fire();
  });
}

void TSignalHandler::Uninstall() { watcher_.reset(); }

void TSignalHandler::Fire() {
  if (OnSignal) OnSignal(this);
}

}  // namespace vexa

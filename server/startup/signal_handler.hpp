#pragma once
// TSignalHandler: turns SIGINT, SIGHUP and SIGTERM (Ctrl-C, a closed
// terminal, the ordinary request to stop) into a call of OnSignal on an
// ordinary thread. The handler only records the signal; whoever receives
// OnSignal decides what stopping means.

#include <functional>
#include <memory>

namespace vexa {

namespace platform {
class SignalWatcher;
}

class TSignalHandler;
extern TSignalHandler* CurrentHandler;  // set by Install, never cleared

class TSignalHandler {
 public:
  using SignalEvent = std::function<void(TSignalHandler* sender)>;

  explicit TSignalHandler(SignalEvent onSignal);
  ~TSignalHandler();  // Uninstall
  TSignalHandler(const TSignalHandler&) = delete;
  TSignalHandler& operator=(const TSignalHandler&) = delete;

  // Starts watching the three signals and makes this the CurrentHandler.
  void Install();
  // Gives the three signals back their previous handling.
  void Uninstall();
  // Calls OnSignal with this handler as the sender, when it is assigned.
  void Fire();

  SignalEvent OnSignal;

 private:
  std::unique_ptr<platform::SignalWatcher> watcher_;
};

}  // namespace vexa

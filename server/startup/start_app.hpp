#pragma once
// TStartApp: the server's application object. It builds the process-wide
// state (settings, options, project paths, registries), runs the server until
// it is asked to stop, and takes everything down again in a fixed order.
//
// Life of one run:
//   construction  settings from defaults, the bundle's settings.json, the
//                 command line and the project's app.vexa (raises when the
//                 bundle settings cannot be read: start-up fails)
//   Run           signal handler, listener, then the workers "webbrowser"
//                 and "mainloop"; when both have ended (a signal, or the end
//                 of a browser that is waited for): "Clean Exit", clients
//                 disconnected, 400 ms, "Bye Bye", "Server Stopping",
//                 listener stopped, "Server Stopped". When the listener
//                 cannot start, no worker runs and the shutdown follows at once.
//   destruction   a waited-for browser that still runs is killed (the
//                 default browser runs detached and is never touched);
//                 registries, options and settings are freed

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/startup/listener.hpp"

namespace vexa {

class TSignalHandler;
class TVexaBase;
namespace platform {
class Process;
}

class TStartApp {
 public:
  struct Options {
    std::vector<std::string> args;  // the command line without the program name
    std::string exeFile;            // the server program; empty: this process's own
    ListenerFactory listener;       // creates the web server; required by Run
  };

  // Disconnects the WebSocket connections of the given WsApps entries, all
  // at once: however many clients do not read, it returns within about a
  // second. Set by the part of the server that puts connections into
  // WsApps; while it is unset StopClients does nothing.
  static std::function<void(const std::vector<TVexaBase*>& wsApps)> DisconnectClients;

  explicit TStartApp(Options options);
  ~TStartApp();
  TStartApp(const TStartApp&) = delete;
  TStartApp& operator=(const TStartApp&) = delete;

  void Run();
  void MainLoop();
  void OnSignal(TSignalHandler* sender);
  void StartServer();
  void StopClients();
  void RunBrowser();

  void LoadSettings();
  void ApplyArgs();
  std::string ReadPharSettings();

  bool IsRunning() const { return Running.load(); }
  // True when the listener could not be started: Run then shuts down at once
  // and the program exits with code 1.
  bool StartFailed() const { return startFailed_; }
  // Clears Running and wakes the main loop.
  void StopRunning();

  std::atomic<bool> Running{true};
  std::unique_ptr<TListener> WebServer;
  std::unique_ptr<TSignalHandler> SignalHandler;
  std::unique_ptr<platform::Process> BrowserProcess;

 private:
  void FreeState();
  std::string PhpProgram() const;

  Options options_;
  std::mutex wakeMutex_;
  std::condition_variable wake_;
  std::mutex browserMutex_;       // guards BrowserProcess while the browser worker starts it
  bool startFailed_ = false;      // written by StartServer on the main thread, before any worker
};

}  // namespace vexa

#include "platform/browser.hpp"

#include <future>
#include <memory>
#include <thread>

#include "platform/process.hpp"

namespace vexa::platform {

std::string FindChromePath() {
  for (const char* name : {"google-chrome", "google-chrome-stable", "chromium", "chromium-browser"}) {
    std::string path = FindOnPath(name);
    if (!path.empty()) return path;
  }
  for (const char* path : {"/opt/google/chrome/chrome", "/usr/bin/chromium"}) {
    if (!FindOnPath(path).empty()) return path;
  }
  return "";
}

bool OpenUrl(const std::string& url) {
  SpawnOptions options;
  options.program = "xdg-open";
  options.args = {url};
  options.env = CurrentEnvironment();
  options.pipeStdin = options.pipeStdout = options.pipeStderr = false;
  // Spawned on the reaping thread itself: a child is tied to the life of the
  // thread that created it, and this thread lives exactly as long as the child.
  auto started = std::make_shared<std::promise<bool>>();
  auto result = started->get_future();
  try {
    std::thread([options = std::move(options), started] {
      std::unique_ptr<Process> proc;
      try {
        proc = Process::Spawn(options);
      } catch (...) {
        started->set_value(false);
        return;
      }
      started->set_value(true);
      proc->Wait();
    }).detach();
  } catch (...) {
    return false;  // no thread: nothing was started
  }
  return result.get();
}

}  // namespace vexa::platform

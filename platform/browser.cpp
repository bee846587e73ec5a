#include "platform/browser.hpp"

#include <stdexcept>

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
  // Detached: xdg-open may stay as the parent of the browser it starts, which
  // is the user's and must outlive the server.
  try {
    SpawnDetached(options);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace vexa::platform

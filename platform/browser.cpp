#include "platform/browser.hpp"

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

}  // namespace vexa::platform

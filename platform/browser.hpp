#pragma once
// The browsers the server can start: Chrome (or Chromium) for the application
// window, and the desktop's default URL handler.

#include <string>

namespace vexa::platform {

// The first of google-chrome, google-chrome-stable, chromium, chromium-browser
// found on PATH, then /opt/google/chrome/chrome or /usr/bin/chromium when
// executable; "" when there is none.
std::string FindChromePath();

// Starts `xdg-open URL` detached from the server (SpawnDetached): not waited
// for, never signalled. False (and nothing started) when xdg-open cannot be
// started.
bool OpenUrl(const std::string& url);

}  // namespace vexa::platform

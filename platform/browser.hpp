#pragma once
// The browser the server can start: Chrome (or Chromium) for the application
// window.

#include <string>

namespace vexa::platform {

// The first of google-chrome, google-chrome-stable, chromium, chromium-browser
// found on PATH, then /opt/google/chrome/chrome or /usr/bin/chromium when
// executable; "" when there is none.
std::string FindChromePath();

}  // namespace vexa::platform

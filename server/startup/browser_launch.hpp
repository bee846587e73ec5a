#pragma once
// The browser of desk mode: which program, with which arguments and
// environment, and whether the server waits for it.
//
// By the setting "browser":
//   "default"   xdg-open URL                       not waited for
//   ""          the bundle's vexaview --url= --projpath= --projtype=   waited for
//   "chrome"    Chrome/Chromium --app=URL ...      waited for
//   other text  that program ($exepath, $projpath) with the items of
//               "browserparam" ($url, $projpath, $exepath)             waited for

#include <string>
#include <vector>

namespace vexa {

class TJSON;

struct BrowserLaunch {
  std::string program;
  std::vector<std::string> args;
  bool wait = true;
};

// Reads "browser" (and "browserparam" for a custom program) from `settings`;
// for a custom program the expanded text is written back into "browser".
// Raises when a member is missing, "browserparam" is not an array, or no
// Chrome is installed.
BrowserLaunch PlanBrowserLaunch(TJSON& settings, const std::string& url);

// The server's own environment in its order, followed by VEXA_EXECPATH,
// VEXA_DESKPATH, VEXA_PROJPATH, VEXA_PROJDIR, VEXA_ARG and VEXAURL.
std::vector<std::string> BrowserEnvironment(const std::string& url);

}  // namespace vexa

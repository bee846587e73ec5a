#include "server/startup/browser_launch.hpp"

#include <stdexcept>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "platform/browser.hpp"
#include "platform/process.hpp"
#include "server/startup/path_routines.hpp"

namespace vexa {

BrowserLaunch PlanBrowserLaunch(TJSON& settings, const std::string& url) {
  const std::string kind = settings.GetValue("browser").ToString();
  BrowserLaunch launch;
  if (kind == "default") {
    launch.program = "xdg-open";
    launch.args = {url};
    launch.wait = false;
  } else if (kind.empty()) {
    launch.program = ExePath + "/vexadesk/bin/linux-x64/vvl/vexaview";
    launch.args = {"--url=" + url, "--projpath=" + ProjPath, "--projtype=" + PhpAppType};
  } else if (kind == "chrome") {
    launch.program = platform::FindChromePath();
    if (launch.program.empty()) throw std::runtime_error("Chrome is not installed");
    launch.args = {"--app=" + url, "--disable-features=ProcessPerTab"};
  } else {
    std::string program = ReplaceAll(kind, "$exepath", ExePath);
    settings.Add("browser", program);
    program = ReplaceAll(program, "$projpath", ProjPath);
    settings.Add("browser", program);
    launch.program = program;
    const JsonValue* params = settings.Find("browserparam");
    if (params == nullptr || !params->is_array()) throw std::runtime_error("\"browserparam\" is not an array");
    for (const JsonValue& item : *params) {
      std::string text = JSONToVariant(&item).ToString();
      text = ReplaceAll(text, "$url", url);
      text = ReplaceAll(text, "$projpath", ProjPath);
      text = ReplaceAll(text, "$exepath", ExePath);
      launch.args.push_back(text);
    }
  }
  return launch;
}

std::vector<std::string> BrowserEnvironment(const std::string& url) {
  std::vector<std::string> env = platform::CurrentEnvironment();
  env.push_back("VEXA_EXECPATH=" + ExePath);
  env.push_back("VEXA_DESKPATH=" + ExePath);
  env.push_back("VEXA_PROJPATH=" + ProjPath);
  env.push_back("VEXA_PROJDIR=" + ProjDir);
  env.push_back("VEXA_ARG=" + (Args ? Args->ToJSON() : std::string("{}")));
  env.push_back("VEXAURL=" + url);
  return env;
}

}  // namespace vexa

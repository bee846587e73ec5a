// Time of one trivial PHP application run through the bridge (start to
// OnExit, the page road's way) against the same php command started
// directly with fork/exec/wait, interleaved in one run. Prints the medians
// and their ratio.
//
//   bridge_bench [runs]        (default 60 runs of each, after 5 warm-ups)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/globals.hpp"
#include "core/json.hpp"
#include "platform/process.hpp"
#include "server/bridge/vexa_app_middle.hpp"

using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// The baseline: the same argv and environment, stdout read to its end, waited for.
double RunDirect(const std::string& php, const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<std::string> argStore = {php};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv, envp;
  for (auto& a : argStore) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envStore = env;
  for (auto& e : envStore) envp.push_back(e.data());
  envp.push_back(nullptr);
  auto t0 = Clock::now();
  int out[2];
  if (::pipe(out) != 0) std::abort();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    ::execve(php.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  char buf[4096];
  while (::read(out[0], buf, sizeof buf) > 0) {
  }
  ::close(out[0]);
  int status;
  ::waitpid(pid, &status, 0);
  return Ms(Clock::now() - t0);
}

double RunBridge(const std::vector<std::string>& params, const std::vector<std::string>& extra, std::string& body) {
  auto t0 = Clock::now();
  vexa::TVexaAppMiddle app("bench", nullptr, false);
  app.WaitForExit = true;
  app.OnData = [&](const vexa::TJSON&, const std::string& text, bool, bool) { body = text; };
  app.OnError = [](const std::string&) {};
  app.OnExit = [](const std::string&) {};
  app.StartApp(vexa::TVexaAppMiddle::PhpExe(), params, extra);
  return Ms(Clock::now() - t0);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
  const std::string php = vexa::platform::FindOnPath("php");
  if (php.empty()) {
    std::fprintf(stderr, "php not found on PATH\n");
    return 1;
  }
  vexa::TJSON settings;
  settings.Add("php", php);
  settings.Add("orvantphppath", "/opt/shared");
  vexa::Settings = &settings;
  vexa::ExePath = "/opt/bundle";
  vexa::ProjPath = VEXA_BENCH_DIR;
  vexa::ProjDir = VEXA_BENCH_DIR;

  const auto params = vexa::TVexaAppMiddle::AppParams("bench", "e", "p");
  const std::vector<std::string> extra = {"idata=7B7D", "cdata=7B7D", "bcookies=7B7D"};
  auto env = vexa::platform::CurrentEnvironment();
  for (const std::string& e : {"VEXA_EXECPATH=" + vexa::ExePath, "VEXA_PROJPATH=" + vexa::ProjPath,
                               "VEXA_PROJDIR=" + vexa::ProjDir})
    env.push_back(e);
  env.insert(env.end(), extra.begin(), extra.end());

  std::string body;
  for (int i = 0; i < 5; ++i) {
    RunDirect(php, params, env);
    RunBridge(params, extra, body);
  }
  if (body != "ok") {
    std::fprintf(stderr, "unexpected reply through the bridge: \"%s\"\n", body.c_str());
    return 1;
  }
  std::vector<double> direct, bridge;
  for (int i = 0; i < runs; ++i) {
    // Alternate the order so that neither side always runs second.
    if (i % 2) {
      direct.push_back(RunDirect(php, params, env));
      bridge.push_back(RunBridge(params, extra, body));
    } else {
      bridge.push_back(RunBridge(params, extra, body));
      direct.push_back(RunDirect(php, params, env));
    }
  }
  const double d = Median(direct), b = Median(bridge);
  std::printf("runs %d each: direct fork/exec/wait median %.3f ms, bridge to OnExit median %.3f ms, ratio %.3f\n",
              runs, d, b, b / d);
  return 0;
}

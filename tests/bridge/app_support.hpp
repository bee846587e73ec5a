#pragma once
// A bridge under test with its callbacks recorded, and the process-wide
// state it reads, pointed at the fixture project.

#include <memory>
#include <string>
#include <vector>

#include "bridge_support.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "server/bridge/vexa_app_middle.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa::testing {

inline void UseFixtureProject(const std::string& php = Php()) {
  static TJSON settings;
  settings = TJSON();
  settings.Add("php", php);
  settings.Add("orvantphppath", "/opt/shared/orvant");
  Settings = &settings;
  ExePath = "/opt/bundle-root";
  ProjPath = FixtureDir() + "/proj";
  ProjDir = FixtureDir() + "/proj";
  IsPhar = false;
  PhpAppType = "start.php";
}

struct AppRun {
  Recorder rec;
  std::unique_ptr<TVexaAppMiddle> app;
  std::string token = UniqueToken("app");

  AppRun(const std::string& ctrl, bool isWs) {
    app = std::make_unique<TVexaAppMiddle>(ctrl, nullptr, isWs);
    app->OnData = [this](const TJSON& env, const std::string& t, bool j, bool i) { rec.Data(env.GetJSON(), t, j, i); };
    app->OnError = [this](const std::string& l) { rec.Err(l); };
    app->OnExit = [this](const std::string& t) {
      EXPECT_EQ(t, "");
      rec.Exit();
    };
    app->WaitForExit = !isWs;
  }
  // Runs the application with `evt`; the unique token travels as evtp.
  // With `slot`, the process holds it (and its child takes its slot where
  // `slot` came from).
  void Start(const std::string& evt = "e", std::vector<std::string> env = {}, TProcessSlot slot = {}) {
    app->StartApp(TVexaAppMiddle::PhpExe(), TVexaAppMiddle::AppParams(app->AppName, evt, token), env,
                  std::move(slot));
  }
  std::vector<Recorder::Piece> Data() {
    std::lock_guard<std::mutex> lock(rec.m);
    return rec.data;
  }
  bool WaitData(size_t n) {
    return rec.WaitUntil([&] { return rec.data.size() >= n; });
  }
};

// Runs the "raw" application, which writes exactly `output` and ends; on the
// page road unless isWs.
inline std::vector<Recorder::Piece> RunRaw(const std::string& output, bool isWs = false,
                                           TVexaAppMiddle::ServerCommandEvent onServer = nullptr) {
  AppRun run("raw", isWs);
  run.app->OnServerCommand = std::move(onServer);
  run.Start("e", {"cdata=" + StrToHex(output)});
  if (isWs) {
    EXPECT_TRUE(run.rec.WaitExit());
  }
  EXPECT_EQ(run.rec.exits, 1);
  return run.Data();
}

}  // namespace vexa::testing

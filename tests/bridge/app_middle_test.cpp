// The bridge to an application process: command line, environment, stdin
// messages, events, the child relay and the ends of both processes.
#include <nlohmann/json.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include "app_support.hpp"
#include "platform/process.hpp"
#include "core/process_slots.hpp"
#include "server/bridge/app_starts.hpp"
#include "server/bridge/vexa_requester.hpp"

using namespace vexa;
using namespace vexa::testing;
using namespace std::chrono_literals;

namespace {

class AppMiddle : public ::testing::Test {
 protected:
  void SetUp() override { UseFixtureProject(); }
  void TearDown() override { IsPhar = false; }
};

// The "env" application reports its exact argv and environment block.
nlohmann::json RunEnv(AppRun& run) {
  run.Start("ev", {"idata=4142", "cdata=", "bcookies=7B7D"});
  auto d = run.Data();
  EXPECT_EQ(d.size(), 1u);
  return d.empty() ? nlohmann::json() : nlohmann::json::parse(d[0].text);
}

std::vector<std::string> ExpectedEnv() {
  auto env = platform::CurrentEnvironment();
  for (const std::string& e : std::vector<std::string>{"VEXA_EXECPATH=/opt/bundle-root", "VEXA_PROJPATH=" + ProjPath,
                                                      "VEXA_PROJDIR=" + ProjDir, "idata=4142", "cdata=", "bcookies=7B7D"})
    env.push_back(e);
  return env;
}

// The inner JSON text of a stdin message line.
std::string Inner(const std::string& line) {
  auto msg = nlohmann::json::parse(line);
  return HexToStr(msg.at("cpdata").get<std::string>());
}

}  // namespace

TEST_F(AppMiddle, CommandLineAndEnvironmentOfAFolderProject) {
  AppRun run("env", false);
  auto got = RunEnv(run);
  std::vector<std::string> argv = {Php(), "-f", ProjPath + "/start.php", "-", "--aroot", "/opt/bundle-root",
                                   "--sharedpath", "/opt/shared/orvant", "--ctrl", "env", "--evt", "ev",
                                   "--evtp", run.token, "--droot", ProjPath};
  EXPECT_EQ(got["cmdline"].get<std::vector<std::string>>(), argv);
  EXPECT_EQ(got["environ"].get<std::vector<std::string>>(), ExpectedEnv());
  EXPECT_EQ(run.rec.exits, 1);
  ExpectNoProcessesLeft(run.token);
}

TEST_F(AppMiddle, CommandLineOfAPharProject) {
  char dir[] = "/tmp/vexa-phar-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  std::string phar = std::string(dir) + "/app.phar";
  {
    platform::SpawnOptions o;
    o.program = Php();
    o.args = {"-d", "phar.readonly=0", FixtureDir() + "/make_phar.php", phar, FixtureDir() + "/proj/start.php"};
    o.env = platform::CurrentEnvironment();
    ASSERT_EQ(platform::Process::Spawn(o)->Wait(), 0);
  }
  IsPhar = true;
  ProjPath = phar;
  ProjDir = dir;
  AppRun run("env", false);
  auto got = RunEnv(run);
  std::vector<std::string> argv = {Php(), "-f", phar, "-", "--aroot", "/opt/bundle-root",
                                   "--sharedpath", "/opt/shared/orvant", "--ctrl", "env", "--evt", "ev",
                                   "--evtp", run.token, "--droot", "phar://" + phar};
  EXPECT_EQ(got["cmdline"].get<std::vector<std::string>>(), argv);
  EXPECT_EQ(got["environ"].get<std::vector<std::string>>(), ExpectedEnv());
  ::unlink(phar.c_str());
  ::rmdir(dir);
}

TEST_F(AppMiddle, PageRoadLeavesStdinOpenAndEmptyAndErrorsGoToOnError) {
  AppRun run("stdin", false);
  run.Start();
  auto d = run.Data();
  ASSERT_EQ(d.size(), 1u);
  EXPECT_EQ(d[0].text, "open-empty");

  AppRun err("stderr", false);
  err.Start();
  EXPECT_EQ(err.rec.err, (std::vector<std::string>{"warn one", "warn two"}));
  ASSERT_EQ(err.Data().size(), 1u);
  EXPECT_EQ(err.Data()[0].text, "body");
  ExpectNoProcessesLeft();
}

TEST_F(AppMiddle, StdinMessagesAndEventsAreByteExact) {
  ConsoleCapture console;
  AppRun run("echo", true);
  run.Start();
  run.app->SendToApp(StrToHex("{\"a\":\"1\"}"), false);
  TJSON bdata;
  bdata.Add("k", "v");
  run.app->SendEvent("evx", "p1", &bdata);
  run.app->SendCtrlEvent("onprocesscreate", "7", nullptr);
  run.app->WsDisconnect(nullptr);
  run.app->SendToApp("raw line", true);
  run.app->Quit(nullptr);
  ASSERT_TRUE(run.rec.WaitExit());
  console.Stop();
  auto d = run.Data();
  ASSERT_EQ(d.size(), 6u);
  EXPECT_EQ(d[0].text, "{ \"id\" : \"1\", \"msg\" : \"\", \"type\" : \"c\", \"cpdata\" : \"7B2261223A2231227D\" }\r\n");
  EXPECT_EQ(Inner(d[1].text),
            "{ \"ctrl\" : \"echo\", \"evt\" : \"evx\", \"evtp\" : \"p1\", \"type\" : \"s\", \"bdata\" : { \"k\" : \"v\" } }");
  EXPECT_EQ(Inner(d[2].text), "{ \"evt\" : \"onprocesscreate\", \"evtp\" : \"7\", \"type\" : \"s\", \"bdata\" : {} }");
  EXPECT_EQ(Inner(d[3].text), "{ \"ctrl\" : \"echo\", \"evt\" : \"wsdiscon\", \"evtp\" : \"d\", \"type\" : \"s\", \"bdata\" : {} }");
  EXPECT_EQ(d[4].text, "raw line\r\n");
  EXPECT_EQ(Inner(d[5].text), "{ \"ctrl\" : \"echo\", \"evt\" : \"quit\", \"evtp\" : \"quit\", \"type\" : \"s\", \"bdata\" : {} }");
  EXPECT_TRUE(console.Has("App Exit echo"));
  EXPECT_EQ(run.rec.exits, 1);
  // The application has ended: further messages go nowhere.
  run.app->SendToApp("late", true);
  run.app.reset();
  ExpectNoProcessesLeft(run.token);
}

TEST_F(AppMiddle, WritesFromManyThreadsArriveAsWholeLines) {
  AppRun run("echo", true);
  run.Start();
  constexpr int kThreads = 4, kEach = 40;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i)
        run.app->SendToApp(StrToHex(std::string(3000 + i, static_cast<char>('a' + t))), false);
    });
  for (auto& th : threads) th.join();
  ASSERT_TRUE(run.WaitData(kThreads * kEach));
  std::map<char, int> perThread;
  for (const auto& p : run.Data()) {
    std::string inner = Inner(p.text.substr(0, p.text.size() - 2));
    ASSERT_FALSE(inner.empty());
    EXPECT_EQ(inner, std::string(inner.size(), inner[0]));
    ++perThread[inner[0]];
  }
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(perThread[static_cast<char>('a' + t)], kEach);
  run.app->Quit(nullptr);
  ASSERT_TRUE(run.rec.WaitExit());
}

TEST_F(AppMiddle, EventsAndRelaysNeverWaitWhileAClientsMessageWaitsForRoom) {
  // The application never reads its input. A client's message larger than
  // the input queue's bound is taken into the empty queue; events and the
  // child's relayed lines behind it are queued at once, without stopping
  // the application; the client's next message waits until its client is
  // gone, and is not taken.
  ConsoleCapture console;
  AppRun run("sleep", true);
  run.Start();
  ASSERT_TRUE(run.WaitData(1));
  EXPECT_TRUE(run.app->SendToAppWaiting(std::string(size_t(33) << 20, 'x'), [] { return false; }));
  // Wakes the test's waits on the recorder; the lock keeps a wakeup from
  // falling between a wait's check and its sleep.
  auto wake = [&] {
    { std::lock_guard<std::mutex> lock(run.rec.m); }
    run.rec.cv.notify_all();
  };
  std::atomic<bool> eventsDone{false};
  std::thread events([&] {
    TJSON bdata;
    bdata.Add("k", "v");
    run.app->SendEvent("evx", "p1", &bdata);
    run.app->SendCtrlEvent("onprocesscreate", "7", nullptr);
    run.app->WsDisconnect(&bdata);
    run.app->WriteToApp("a line of the child");
    eventsDone = true;
    wake();
  });
  const bool returned = run.rec.WaitUntil([&] { return eventsDone.load(); }, 30s);
  EXPECT_TRUE(returned) << "an event waited for room";
  if (!returned) run.app->StopApp();
  events.join();
  EXPECT_TRUE(run.app->AppRunning());

  // The client's next message waits: it asks again and again whether its
  // client is gone, until it is.
  std::atomic<int> asked{0};
  std::atomic<bool> gone{false}, finished{false}, taken{true};
  std::thread client([&] {
    taken = run.app->SendToAppWaiting("{\"n\":1}", [&] {
      ++asked;
      wake();
      return gone.load();
    });
    finished = true;
    wake();
  });
  EXPECT_TRUE(run.rec.WaitUntil([&] { return asked >= 2 || finished; }, 30s));
  EXPECT_FALSE(finished) << "the message did not wait";
  gone = true;
  client.join();
  EXPECT_FALSE(taken);
  EXPECT_TRUE(run.app->AppRunning());
  run.app.reset();
  console.Stop();
  EXPECT_EQ(console.Text().find("process stopped"), std::string::npos) << console.Text();
  ExpectNoProcessesLeft(run.token);
}

TEST_F(AppMiddle, ChildProcessRelayBothWaysAndItsEnd) {
  ConsoleCapture console;
  AppRun run("echo", true);
  run.Start();
  ASSERT_TRUE(run.app->StartChild("7", Php(), {FixtureDir() + "/child.php", "1", run.token}));
  EXPECT_TRUE(run.app->ChildRunning());
  EXPECT_EQ(run.app->ChildId(), "7");
  // A second child while the first runs starts nothing.
  EXPECT_FALSE(run.app->StartChild("8", Php(), {FixtureDir() + "/child.php", "1", run.token}));
  EXPECT_EQ(run.app->ChildId(), "7");

  // The application sends a "childp" item; the child answers "got:" + the
  // bytes of the line it received, which come back to the application as a
  // plain line, which the application echoes.
  run.app->SendToApp(StrToHex("{\"do\":\"childp\",\"data\":\"h\xC3\xA9,llo\"}"), false);
  const std::string item = "{ \"response\" : { \"type\" : \"childp\" }, \"data\" : \"h\xC3\xA9,llo\" }";
  const std::string childLine = StrToHex(item + ",") + "\r\n";
  std::string gotLine;
  for (int i = 0; i < 2000 && gotLine.empty(); ++i) {
    for (const auto& p : run.Data())
      if (p.text.rfind("got:", 0) == 0) gotLine = p.text;
    if (gotLine.empty()) std::this_thread::sleep_for(5ms);
  }
  ASSERT_FALSE(gotLine.empty());
  ASSERT_EQ(gotLine.substr(gotLine.size() - 2), "\r\n");  // unwrapped, CR LF added
  EXPECT_EQ(HexToStr(gotLine.substr(4, gotLine.size() - 6)), childLine);

  // The child ends after its one line: "cquit" reaches the application.
  ASSERT_TRUE(run.rec.WaitUntil([&] {
    for (const auto& p : run.rec.data)
      if (p.text.find("\"cpdata\"") != std::string::npos && Inner(p.text).find("cquit") != std::string::npos)
        return true;
    return false;
  }));
  bool found = false;
  for (const auto& p : run.Data())
    if (p.text.find("\"cpdata\"") != std::string::npos &&
        Inner(p.text) == "{ \"evt\" : \"cquit\", \"evtp\" : \"7\", \"type\" : \"s\", \"bdata\" : {} }")
      found = true;
  EXPECT_TRUE(found);
  EXPECT_FALSE(run.app->ChildRunning());
  run.app->Quit(nullptr);
  ASSERT_TRUE(run.rec.WaitExit());
  console.Stop();
  // The child's standard error reaches the console quoted, never raw.
  EXPECT_TRUE(console.Has("Error: MidApp VexaErr:- child started \\x1B[2J")) << console.Text();
  EXPECT_EQ(console.Text().find('\x1b'), std::string::npos) << console.Text();
  EXPECT_TRUE(console.Has("stdexitp:- App:-echo Child:-7"));
  ExpectNoProcessesLeft(run.token);
}

// The application's child gets the server's environment and the bundle and
// project paths, nothing of the application's own entries and not the
// project folder.
TEST_F(AppMiddle, ChildProcessEnvironmentHoldsTheServersAndTheTwoPathsOnly) {
  AppRun run("echo", true);
  run.Start("e", {"idata=4142", "cdata=", "bcookies=7B7D"});
  ASSERT_TRUE(run.app->StartChild("v", Php(), {FixtureDir() + "/childenv.php", run.token}));
  std::string reported;
  ASSERT_TRUE(run.rec.WaitUntil([&] {
    for (const auto& p : run.rec.data)
      if (p.text.rfind("env:", 0) == 0) reported = p.text;
    return !reported.empty();
  }));
  ASSERT_EQ(reported.substr(reported.size() - 2), "\r\n");
  const std::string block = HexToStr(reported.substr(4, reported.size() - 6));
  std::vector<std::string> got;
  for (size_t at = 0; at < block.size();) {
    const size_t end = block.find('\0', at);
    got.push_back(block.substr(at, end - at));
    at = end == std::string::npos ? block.size() : end + 1;
  }
  auto expected = platform::CurrentEnvironment();
  expected.push_back("VEXA_EXECPATH=/opt/bundle-root");
  expected.push_back("VEXA_PROJPATH=" + ProjPath);
  EXPECT_EQ(got, expected);
  run.app->Quit(nullptr);
  ASSERT_TRUE(run.rec.WaitExit());
  ExpectNoProcessesLeft(run.token);
}

// An application's standard-error lines reach the console quoted: a terminal
// control sequence or bytes that are not UTF-8 are shown, never sent raw.
TEST_F(AppMiddle, ApplicationStandardErrorReachesTheConsoleQuoted) {
  ConsoleCapture console;
  {
    TVexaRequester requester("quoted", nullptr, true);
    requester.OnAppError("bad \x1b[2J\x07 line \xff");
  }
  console.Stop();
  EXPECT_TRUE(console.Has("Vexa Error:- bad \\x1B[2J\\x07 line \\xFF")) << console.Text();
  EXPECT_EQ(console.Text().find('\x1b'), std::string::npos) << console.Text();
}

// A process's first reply teaches the table of starts whether its
// application makes itself global ("setglobal" among its server items) or
// stays per connection; a process that ends without a reply teaches nothing.
TEST_F(AppMiddle, FirstReplyTellsTheStartsWhetherTheApplicationMakesItselfGlobal) {
  auto runRequester = [](const std::string& name, const std::string& output) {
    Recorder rec;
    auto requester = std::make_shared<TVexaRequester>(name, nullptr, true);
    requester->OnExit = [&rec, onExit = requester->OnExit](const std::string& text) {
      onExit(text);
      rec.Exit();
    };
    requester->HoldStart(AppStarts().Begin(name));
    const std::string token = UniqueToken("starts");
    requester->StartApp(TVexaAppMiddle::PhpExe(), TVexaAppMiddle::AppParams(name, "e", token),
                        {"cdata=" + StrToHex(output)});
    EXPECT_TRUE(rec.WaitExit()) << name;
    requester.reset();
    ExpectNoProcessesLeft(token);
  };
  auto envelope = [](const std::string& items) {
    return "{\"headers\":{},\"cookies\":{},\"content\":\"" + StrToHex(items) + "\"}\n";
  };
  const std::string web = R"({"response":{"type":"jsonweb"},"n":1},)";
  const std::string setGlobal = R"({"response":{"type":"server","ipc":{"fun":[{"aname":"setglobal"}]}}},)";
  ConsoleCapture console;  // "setglobal" without a connection prints its error
  runRequester("raw-own", envelope(web) + envelope(web));
  runRequester("raw-global", envelope(setGlobal + web));
  runRequester("raw-silent", "");
  console.Stop();
  EXPECT_EQ(AppStarts().KindOf("raw-own"), TAppStarts::TKind::PerConnection);
  EXPECT_EQ(AppStarts().KindOf("raw-global"), TAppStarts::TKind::Global);
  EXPECT_EQ(AppStarts().KindOf("raw-silent"), TAppStarts::TKind::Unknown);
}

// "createprocess" of a program that cannot run is refused with its console
// line and tells the application nothing; a child that runs is announced
// with "onprocesscreate"; another while it runs is ignored without a line.
TEST_F(AppMiddle, CreateProcessAnnouncesOnlyAChildThatRuns) {
  ConsoleCapture console;
  Recorder rec;
  const std::string token = UniqueToken("create");
  auto requester = std::make_shared<TVexaRequester>("echo-create", nullptr, true);
  requester->OnData = [&rec](const TJSON& envelope, const std::string& text, bool isJson, bool isItem) {
    rec.Data(envelope.GetJSON(), text, isJson, isItem);
  };
  requester->OnExit = [&rec, onExit = requester->OnExit](const std::string& text) {
    onExit(text);
    rec.Exit();
  };
  requester->StartApp(TVexaAppMiddle::PhpExe(), TVexaAppMiddle::AppParams("echo-create", "e", token), {});
  auto create = [&](const std::string& exe, const std::string& childId) {
    JsonValue command = {{"aname", "createprocess"},
                         {"data", {{"exepath", exe}, {"childid", childId},
                                   {"param", {FixtureDir() + "/child.php", "0", token + "-child"}}}}};
    JsonValue item = {{"response", {{"type", "server"}, {"ipc", {{"fun", JsonValue::array({command})}}}}}};
    requester->OnServerCmd(item);
  };
  // The stdin lines the application echoed so far: each event's "evtp", each
  // plain message as it is.
  auto received = [&] {
    std::vector<std::string> lines;
    std::lock_guard<std::mutex> lock(rec.m);
    for (const auto& p : rec.data) {
      const std::string line = p.text.substr(0, p.text.find("\r\n"));
      const auto inner = nlohmann::json::parse(Inner(line));
      lines.push_back(inner.contains("evt") ? inner["evt"].get<std::string>() + " " + inner["evtp"].get<std::string>()
                                            : inner.dump());
    }
    return lines;
  };
  auto waitFor = [&](const std::string& line) {
    return rec.WaitUntil([&] {
      for (const auto& p : rec.data)
        if (p.text.find(StrToHex(line)) != std::string::npos) return true;
      return false;
    });
  };
  create("/nonexistent/tool", "bad");
  create(Php(), "good");
  create(Php(), "second");
  requester->SendToApp(StrToHex("{\"n\":1}"), false);
  ASSERT_TRUE(waitFor("{\"n\":1}"));
  EXPECT_EQ(received(), (std::vector<std::string>{"onprocesscreate good", "{\"n\":1}"}));
  EXPECT_TRUE(requester->ChildRunning());
  requester->Quit(nullptr);
  ASSERT_TRUE(rec.WaitExit());
  requester.reset();
  console.Stop();
  const std::string refused = "Error: Error in " + ProjPath + " Project Vexa App Middle in binding process ";
  EXPECT_TRUE(console.Has(refused + "cannot run /nonexistent/tool")) << console.Text();
  EXPECT_EQ(console.Text().find("binding process"), console.Text().rfind("binding process")) << console.Text();
  ExpectNoProcessesLeft(token);
}

TEST_F(AppMiddle, ApplicationEndStopsItsChildBeforeOnExit) {
  // The child's end is handled before the application's: at OnExit the child
  // is gone and its "stdexitp" line printed, every time (an owner may end
  // the bridge inside OnExit, after which the child's end reaches nobody).
  for (int round = 0; round < 8; ++round) {
    ConsoleCapture console;
    AppRun run("echo", true);
    bool childGoneAtExit = false, stdexitpAtExit = false;
    std::string token = run.token;
    run.app->OnExit = [&](const std::string&) {
      stdexitpAtExit = console.Has("stdexitp:- App:-echo Child:-c1");
      childGoneAtExit = ProcessesWith(token + "-child").empty();
      run.rec.Exit();
    };
    run.Start();
    ASSERT_TRUE(run.app->StartChild("c1", Php(), {FixtureDir() + "/child.php", "0", token + "-child"}));
    // The child runs once its first line is relayed; it ends only when it
    // is stopped (its input stays open while the bridge lives), so an
    // application's end that waited for it would never reach OnExit.
    for (int i = 0; i < 3000 && console.Text().find("MidApp VexaErr:- child started") == std::string::npos; ++i)
      std::this_thread::sleep_for(10ms);
    ASSERT_NE(console.Text().find("MidApp VexaErr:- child started"), std::string::npos) << "round " << round;
    run.app->Quit(nullptr);
    ASSERT_TRUE(run.rec.WaitExit());
    EXPECT_TRUE(childGoneAtExit);
    EXPECT_TRUE(stdexitpAtExit) << "round " << round;
    EXPECT_EQ(run.rec.exits, 1);
    run.app.reset();
    console.Stop();
    ExpectNoProcessesLeft(token);
  }
}

TEST_F(AppMiddle, DestroyStopsARunningApplicationAndDeliversNothingMore) {
  AppRun run("sleep", true);
  run.Start();
  ASSERT_TRUE(run.WaitData(1));
  ASSERT_TRUE(run.app->StartChild("c", Php(), {FixtureDir() + "/child.php", "0", run.token}));
  // The application and its child never end by themselves: a destruction
  // that waited for them instead of stopping them would not return.
  run.app.reset();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(run.rec.exits, 0);  // destruction had begun: no OnExit
  ExpectNoProcessesLeft(run.token);
}

TEST_F(AppMiddle, OwnerMayDestroyTheBridgeInsideOnExit) {
  Recorder rec;
  auto app = std::make_unique<TVexaAppMiddle>("trivial", nullptr, true);
  app->OnData = [](const TJSON&, const std::string&, bool, bool) {};
  app->OnExit = [&](const std::string&) {
    app.reset();
    rec.Exit();
  };
  app->StartApp(TVexaAppMiddle::PhpExe(), TVexaAppMiddle::AppParams("trivial", "e", "x"), {});
  ASSERT_TRUE(rec.WaitExit());
  EXPECT_EQ(app, nullptr);
  std::this_thread::sleep_for(50ms);
  ExpectNoProcessesLeft();
}

TEST_F(AppMiddle, ShutdownInsideOnDataEndsEverythingWithoutDeadlock) {
  Recorder rec;
  auto app = std::make_unique<TVexaAppMiddle>("sleep", nullptr, true);
  TVexaAppMiddle* raw = app.get();
  app->OnData = [&](const TJSON&, const std::string& text, bool, bool) {
    EXPECT_EQ(text, "started");
    raw->Shutdown();  // on the application's stdout reader thread
    rec.Exit();
  };
  app->OnExit = [&](const std::string&) { ADD_FAILURE() << "OnExit after shutdown"; };
  const std::string token = UniqueToken("ondata");
  app->StartApp(TVexaAppMiddle::PhpExe(), TVexaAppMiddle::AppParams("sleep", "e", token), {});
  ASSERT_TRUE(rec.WaitExit());
  EXPECT_TRUE(ProcessesWith(token).empty());  // stopped before Shutdown returned
  app.reset();
  ExpectNoProcessesLeft(token);
}

TEST_F(AppMiddle, MissingInterpreterIsReportedWithoutOnExit) {
  UseFixtureProject("/nonexistent/php8");
  ConsoleCapture console;
  AppRun run("trivial", false);
  run.Start();  // waits for the end of the run, which never had a process
  console.Stop();
  EXPECT_EQ(run.rec.exits, 0);
  EXPECT_TRUE(console.Has("Error Process:- /nonexistent/php8: No such file or directory cmd:- /nonexistent/php8"))
      << console.Text();
  EXPECT_FALSE(run.app->AppRunning());

  // The same for the application's child process.
  UseFixtureProject();
  ConsoleCapture console2;
  AppRun ws("echo", true);
  ws.Start();
  EXPECT_TRUE(ws.app->StartChild("c", "/nonexistent/tool", {}));
  // A child that could not start no longer counts as running: the next one starts.
  for (int i = 0; i < 1000 && ws.app->ChildRunning(); ++i) std::this_thread::sleep_for(2ms);
  EXPECT_FALSE(ws.app->ChildRunning());
  ASSERT_TRUE(ws.app->StartChild("d", Php(), {FixtureDir() + "/child.php", "1", ws.token}));
  ws.app->WriteToChild("ping");
  ASSERT_TRUE(ws.rec.WaitUntil([&] {
    for (const auto& p : ws.rec.data)
      if (p.text.rfind("got:", 0) == 0) return true;
    return false;
  }));
  ws.app->Quit(nullptr);
  ASSERT_TRUE(ws.rec.WaitExit());
  console2.Stop();
  EXPECT_TRUE(console2.Has("Error Process:- /nonexistent/tool: No such file or directory cmd:- /nonexistent/tool"));
  ExpectNoProcessesLeft(ws.token);
}

TEST_F(AppMiddle, ProcessSlotsBoundApplicationsAndChildrenAndComeBackAtTheReap) {
  // Two slots for applications and their children, one more for requests.
  TProcessLimits small;
  small.MaxProcesses = 3;
  small.MaxAppProcesses = 2;
  TProcessSlots slots(small);
  ConsoleCapture console;
  const std::string busy =
      "WebSocket applications and their child processes hold as many PHP processes as they may at once (2 of 3)";

  AppRun a("echo", true), b("echo", true), c("echo", true);
  a.Start("e", {}, slots.TryTake(TProcessKind::Application));
  b.Start("e", {}, slots.TryTake(TProcessKind::Application));
  EXPECT_EQ(slots.InUse(), 2u);
  // A third application and a child of the first get no slot: nothing
  // starts, though a request would still find one.
  EXPECT_FALSE(slots.TryTake(TProcessKind::Application));
  EXPECT_FALSE(a.app->StartChild("k", Php(), {FixtureDir() + "/child.php", "1", a.token}));
  EXPECT_TRUE(console.Has("Error: Error in " + ProjPath + " Project Vexa App Middle in binding Child process " + busy))
      << console.Text();
  EXPECT_EQ(slots.InUse(), 2u);
  EXPECT_TRUE(slots.TryTake(TProcessKind::Request));
  // Without a slot of its own, an application takes the server's.
  const size_t serverInUse = TProcessSlots::Instance().InUse();
  c.Start();
  EXPECT_TRUE(c.app->AppRunning());
  EXPECT_EQ(TProcessSlots::Instance().InUse(), serverInUse + 1);
  EXPECT_EQ(slots.InUse(), 2u);
  c.app->Quit(nullptr);
  ASSERT_TRUE(c.rec.WaitExit());
  EXPECT_EQ(TProcessSlots::Instance().InUse(), serverInUse);

  // The slot comes back once the process has been reaped, before OnExit.
  size_t inUseAtExit = 99;
  b.app->OnExit = [&](const std::string&) {
    inUseAtExit = slots.InUse();
    b.rec.Exit();
  };
  b.app->Quit(nullptr);
  ASSERT_TRUE(b.rec.WaitExit());
  EXPECT_EQ(inUseAtExit, 1u);
  ASSERT_TRUE(a.app->StartChild("k", Php(), {FixtureDir() + "/child.php", "1", a.token}));
  EXPECT_EQ(slots.InUse(), 2u);
  // A child that cannot start gives its slot back too.
  for (int i = 0; i < 2000 && a.app->ChildRunning(); ++i) {
    a.app->WriteToChild("ping");
    std::this_thread::sleep_for(2ms);
  }
  ASSERT_FALSE(a.app->ChildRunning());
  EXPECT_TRUE(a.app->StartChild("m", "/nonexistent/tool", {}));
  for (int i = 0; i < 1000 && a.app->ChildRunning(); ++i) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(slots.InUse(), 1u);
  a.app->Quit(nullptr);
  ASSERT_TRUE(a.rec.WaitExit());
  EXPECT_EQ(slots.InUse(), 0u);
  console.Stop();
  ExpectNoProcessesLeft(a.token);
}

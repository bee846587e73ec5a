// The run sequence of the application object with a stand-in listener: port
// choice, the start-up lines, the shutdown order and timing, failures.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "server/startup/free_port.hpp"
#include "server/startup/start_app.hpp"
#include "test_bundle.hpp"

namespace vexa {
namespace {

using namespace std::chrono_literals;
using test::TestBundle;

struct Calls {
  std::mutex m;
  std::vector<std::string> log;
  int port = -1;
  std::string host;
  bool failStart = false;
  void Add(const std::string& s) {
    std::lock_guard<std::mutex> l(m);
    log.push_back(s);
  }
  bool Has(const std::string& s) {
    std::lock_guard<std::mutex> l(m);
    return std::find(log.begin(), log.end(), s) != log.end();
  }
};

class FakeListener : public TListener {
 public:
  explicit FakeListener(Calls& c) : c_(c) {}
  ~FakeListener() override { c_.Add("free"); }
  void SetSSLFiles(const std::string& cert, const std::string& key, const std::string& ca) override {
    c_.Add("ssl " + cert + " " + key + " " + ca);
  }
  void Start() override {
    c_.Add("start");
    if (c_.failStart) throw std::runtime_error("Cannot bind 127.0.0.1:8125: Address already in use");
  }
  void Stop() override { c_.Add("stop"); }

 private:
  Calls& c_;
};

class Run_ : public ::testing::Test {
 protected:
  std::unique_ptr<TStartApp> Make(std::vector<std::string> args) {
    TStartApp::Options options;
    options.args = std::move(args);
    options.exeFile = bundle.Exe();
    options.listener = [this](int port, const std::string& host) {
      calls.port = port;
      calls.host = host;
      return std::make_unique<FakeListener>(calls);
    };
    return std::make_unique<TStartApp>(std::move(options));
  }
  // Runs the server until `stop` says so, returning what it printed.
  std::string RunUntil(TStartApp& app, const std::function<void()>& stop) {
    testing::internal::CaptureStdout();
    std::thread runner([&] { app.Run(); });
    for (int i = 0; i < 500 && !calls.Has("start"); ++i) std::this_thread::sleep_for(10ms);
    stop();
    runner.join();
    return testing::internal::GetCapturedStdout();
  }
  TestBundle bundle;
  Calls calls;
};

size_t Pos(const std::string& out, const std::string& line) {
  const size_t p = out.find(line + "\n");
  EXPECT_NE(p, std::string::npos) << "no line " << line << " in\n" << out;
  return p;
}

TEST_F(Run_, StartsAndStopsInOrder) {
  auto app = Make({"--port", "8123"});
  std::chrono::steady_clock::time_point signalled;
  const std::string out = RunUntil(*app, [&] {
    signalled = std::chrono::steady_clock::now();
    app->OnSignal(nullptr);
  });
  const auto took = std::chrono::steady_clock::now() - signalled;
  EXPECT_GE(took, 400ms);
  EXPECT_LT(took, 2500ms);  // about a second at most, with room for a loaded machine
  EXPECT_EQ(calls.port, 8123);
  EXPECT_EQ(calls.host, "127.0.0.1");
  const std::string conf = bundle.root + "/vexadesk/conf/";
  EXPECT_EQ(calls.log, (std::vector<std::string>{"ssl " + conf + "localhost.crt " + conf + "localhost.key " + conf +
                                                     "RootCA.pem",
                                                 "start", "stop", "free"}));
  const size_t running = Pos(out, "Web server running on port http://127.0.0.1:8123");
  const size_t clean = Pos(out, "Clean Exit");
  const size_t bye = Pos(out, "Bye Bye");
  const size_t stopping = Pos(out, "Server Stopping");
  const size_t stopped = Pos(out, "Server Stopped");
  EXPECT_LT(running, clean);
  EXPECT_LT(clean, bye);
  EXPECT_LT(bye, stopping);
  EXPECT_LT(stopping, stopped);
  EXPECT_EQ(app->WebServer, nullptr);
  EXPECT_EQ(app->SignalHandler, nullptr);
  EXPECT_EQ(Settings->GetValue("hosturl").ToString(), "http://127.0.0.1:8123");
}

TEST_F(Run_, ListenerThatCannotStartShutsDownAtOnceWithoutBrowser) {
  // Desk mode with the bundle's shell, which does not exist here: a browser
  // worker that ran would report it.
  calls.failStart = true;
  auto app = Make({"--port", "8125", "--desk", "1"});
  testing::internal::CaptureStdout();
  auto run = std::async(std::launch::async, [&] { app->Run(); });
  const bool ended = run.wait_for(10s) == std::future_status::ready;
  if (!ended) app->OnSignal(nullptr);  // a run that went on serves nothing: stop it so the test ends
  run.get();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(ended) << "the run went on without a listener";
  EXPECT_EQ(out,
            "Web server running on port http://127.0.0.1:8125\n"
            "Error Start Server Failed:- Cannot bind 127.0.0.1:8125: Address already in use\n"
            "Clean Exit\nBye Bye\nServer Stopping\nServer Stopped\n");
  EXPECT_TRUE(app->StartFailed());
  EXPECT_EQ(app->BrowserProcess, nullptr);
  EXPECT_EQ(calls.log.back(), "free");
}

TEST_F(Run_, PortZeroOutsideDeskModeIs8000WithoutProbe) {
  // Port 8000 may well be taken on this machine: it must not be probed.
  bundle.Write("vexadesk/conf/settings.json", R"({ "host": "127.0.0.1", "port": 0, "desk": false })");
  auto app = Make({});
  RunUntil(*app, [&] { app->OnSignal(nullptr); });
  EXPECT_EQ(calls.port, 8000);
  EXPECT_EQ(Settings->GetValue("port").ToInt32(), 8000);
}

class Connection : public TVexaBase {
 public:
  explicit Connection(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
  void Disconnect() { log_.push_back(name_); }

 private:
  std::vector<std::string>& log_;
  std::string name_;
};

TEST_F(Run_, StopClientsDisconnectsEveryConnection) {
  auto app = Make({"--port", "8127"});
  std::vector<std::string> log;
  app->StopClients();  // no hook: nothing to do
  WsApps->SetObject("1", new Connection(log, "one"));
  WsApps->SetObject("2", new Connection(log, "two"));
  WsApps->SetValue("3", Variant("not a connection"));
  TStartApp::DisconnectClients = [](const std::vector<TVexaBase*>& clients) {
    for (TVexaBase* c : clients) dynamic_cast<Connection&>(*c).Disconnect();
  };
  app->StopClients();
  std::sort(log.begin(), log.end());
  EXPECT_EQ(log, (std::vector<std::string>{"one", "two"}));

  TStartApp::DisconnectClients = [](const std::vector<TVexaBase*>&) { throw std::runtime_error("socket gone"); };
  testing::internal::CaptureStdout();
  app->StopClients();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: StartApp Error Stop Process:- socket gone\n");
  TStartApp::DisconnectClients = nullptr;
}

TEST(FindFreePort, SearchesTheRangeInOrder) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  const int taken = ntohs(a.sin_port);
  EXPECT_FALSE(CanBind("127.0.0.1", taken));
  EXPECT_FALSE(CanBind("localhost", taken));  // a name binds the wildcard address, which overlaps
  EXPECT_EQ(FindFreePort("127.0.0.1", taken, taken), taken);  // none free: the last port tried
  EXPECT_EQ(FindFreePort("127.0.0.1", 5, 4), 4);              // an empty range tries nothing
  if (CanBind("127.0.0.1", taken + 1)) {
    EXPECT_EQ(FindFreePort("127.0.0.1", taken, taken + 1), taken + 1);
  }
  ::close(s);
  EXPECT_TRUE(CanBind("127.0.0.1", taken));
  EXPECT_EQ(FindFreePort("127.0.0.1", taken, taken + 1), taken);  // the first free one, not the last
}

// A port whose connections were closed by the server side lingers in
// TIME_WAIT; the next run must get that same port again.
TEST(FindFreePort, PortOfTheLastRunIsFoundAgain) {
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  const int port = ntohs(a.sin_port);
  int client = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::close(::accept(listener, nullptr, nullptr));
  char byte;
  EXPECT_EQ(::read(client, &byte, 1), 0);
  ::close(client);
  ::close(listener);
  EXPECT_EQ(FindFreePort("127.0.0.1", port, port + 1), port);
}

}  // namespace
}  // namespace vexa

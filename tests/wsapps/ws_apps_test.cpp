// Unit tests of the WebSocket application objects without a listener, for
// what the end-to-end tests cannot reach: the send handle over a socket pair,
// the guards of the owners' VexaClose, and the "sendall" walks against
// concurrent registry changes.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/beast/core/string.hpp>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "server/bridge/app_starts.hpp"
#include "server/bridge/gs_app.hpp"
#include "core/process_slots.hpp"
#include "server/bridge/vexa_requester.hpp"
#include "server/bridge/web_socket_a.hpp"
#include "server/bridge/ws_app.hpp"
#include "server/bridge/ws_request_handler.hpp"
#include "platform/process.hpp"
#include "server/http/connection.hpp"
#include "server/http/shared_routines.hpp"
#include "server/websocket/websocket_handler.hpp"

namespace vexa {
namespace {

// The process-wide registries, as the application object creates them.
class Registries : public ::testing::Test {
 protected:
  void SetUp() override {
    GlobalLock = new std::recursive_mutex;
    WsApps = new TAssoArray;
    GsApps = new TAssoArray;
  }
  void TearDown() override {
    TWsRequestHandler::ReleaseRegistries();
    delete WsApps;
    delete GsApps;
    delete GlobalLock;
    WsApps = GsApps = nullptr;
    GlobalLock = nullptr;
  }
};

// One end of a socket pair as a connection with a frame engine (not started);
// the test reads what the engine writes from the other end.
struct Wire {
  int peer = -1;
  std::unique_ptr<TConnection> connection;
  std::unique_ptr<TWebSocketHandler> handler;
  HttpRequest request;

  explicit Wire(int32_t conId) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    peer = fds[1];
    connection = std::make_unique<TConnection>(fds[0], "127.0.0.1");
    handler = std::make_unique<TWebSocketHandler>(*connection, HttpRequest{}, false);
    handler->ConId = conId;
  }
  ~Wire() {
    handler.reset();
    connection.reset();
    ::close(peer);
  }
  std::shared_ptr<TWebSocketA> Handle() {
    return std::make_shared<TWebSocketA>(handler.get(), connection.get(), &request, false);
  }
  // Everything that arrived within a short wait.
  std::string Drain() {
    std::string out;
    char buf[65536];
    timeval tv{0, 100000};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    for (;;) {
      ssize_t n = ::recv(peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }
};

TWsApp* AddConnection(int32_t conId, std::shared_ptr<TWebSocketA> handle) {
  auto* app = new TWsApp(conId, std::move(handle));
  std::lock_guard<std::mutex> lock(WsRegistryMutex());
  WsApps->SetObject(std::to_string(conId), app);
  return app;
}

// Server shutdown with many clients that stopped reading: every one is asked
// to close at once, and all share one wait of about a second (one after
// another, ten would take over ten seconds).
TEST_F(Registries, DisconnectingManyStuckClientsTakesOneWait) {
  std::vector<std::unique_ptr<Wire>> wires;
  std::vector<std::shared_ptr<TWebSocketA>> handles;
  std::vector<TVexaBase*> entries;
  testing::internal::CaptureStdout();
  for (int32_t id = 1; id <= 10; ++id) {
    wires.push_back(std::make_unique<Wire>(id));
    handles.push_back(wires.back()->Handle());
    handles.back()->SendData(std::string(size_t(4) << 20, 'x'));  // stuck: nobody reads
    entries.push_back(AddConnection(id, handles.back()));
  }
  const auto t0 = std::chrono::steady_clock::now();
  DisconnectWsClients(entries);
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, std::chrono::seconds(5));
  for (const auto& wire : wires) EXPECT_TRUE(wire->connection->IsShutdown());
  for (const auto& handle : handles) handle->MarkClosed();
  testing::internal::GetCapturedStdout();
}

TEST(WebSocketA, OneWholeTextFrameAndNothingAfterClose) {
  Wire wire(7);
  auto handle = wire.Handle();
  EXPECT_EQ(handle->ConId, 7);
  const std::string big(70000, 'x');
  handle->SendData(big);
  const std::string got = wire.Drain();
  // FIN + text, no RSV1, 64-bit length form, unmasked, the payload whole.
  ASSERT_EQ(got.size(), 10 + big.size());
  EXPECT_EQ(static_cast<unsigned char>(got[0]), 0x81);
  EXPECT_EQ(static_cast<unsigned char>(got[1]), 127);
  EXPECT_EQ(got.substr(10), big);

  handle->MarkClosed();
  testing::internal::CaptureStdout();
  handle->SendData("late");
  handle->Disconnect();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(wire.Drain(), "");
  EXPECT_TRUE(handle->Closed());
}

// Server shutdown disconnects every client; a client that stopped reading
// must not hold that up while an application's send to it is stuck.
TEST(WebSocketA, DisconnectDoesNotWaitForAStuckSend) {
  Wire wire(3);
  auto handle = wire.Handle();
  testing::internal::CaptureStdout();
  // Far more than the socket buffers hold: the send only queues the rest,
  // and the writer thread is stuck on it.
  handle->SendData(std::string(16 << 20, 'x'));
  EXPECT_GT(wire.handler->Queued(), size_t(8) << 20);
  const auto t0 = std::chrono::steady_clock::now();
  handle->Disconnect();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
  handle->MarkClosed();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(out.empty() || out.rfind("Error: WSHLP:- Error Data Send WS ", 0) == 0) << out;
}

TEST_F(Registries, VexaCloseGuards) {
  Wire wire(1);
  TWsApp app(1, wire.Handle());
  ReleasedRefs released;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    testing::internal::CaptureStdout();
    app.VexaClose("nosuch", released);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: VexaClose WsApp Error: Key nosuch not found\n");
  }
  // A global application's end removes its own registry entry only: a newer
  // one registered under the same name stays.
  auto older = std::make_shared<TGsApp>("chat", nullptr);
  auto newer = std::make_shared<TGsApp>("chat", nullptr);
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    GsApps->SetObject("chat", new TGsAppEntry(newer));
    older->VexaClose("chat", released);
    EXPECT_EQ(FindGlobalLocked("chat"), newer);
    newer->Closing = true;  // being destroyed: leaves the registry alone
    newer->VexaClose("chat", released);
    EXPECT_EQ(FindGlobalLocked("chat"), newer);
    newer->Closing = false;
    newer->VexaClose("chat", released);
    EXPECT_EQ(FindGlobalLocked("chat"), nullptr);
  }
  EXPECT_EQ(released.size(), 1u);
}

// A global application collects its members' send handles under the
// registry lock and sends after it: a member that left meanwhile must get
// nothing, on a connection that is still open.
TEST_F(Registries, ALeavingConnectionsHandleSendsNothingMore) {
  Wire wire(11);
  auto handle = wire.Handle();
  TWsApp* app = AddConnection(11, handle);
  auto held = handle;  // as a global application's recipient list holds it
  held->SendData("before");
  EXPECT_EQ(wire.Drain().size(), 2 + 6u);
  app->CloseConnection();
  EXPECT_TRUE(held->Closed());
  held->SendData("after");
  EXPECT_EQ(wire.Drain(), "");
  EXPECT_FALSE(wire.connection->IsShutdown());
  std::unique_ptr<TVexaBase> removed;
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    Any entry = WsApps->Extract("11");
    if (entry.IsObject) removed.reset(entry.Obj);
  }
}

// A connection remembers the applications it started or joined, at least
// twice as many as it may run at once: one that has ended since is told
// apart from one never started. The oldest noted goes first; noting a name
// again makes it the latest.
TEST(WsApp, RemembersEveryApplicationItMayRunAndMore) {
  TWsApp app(1, nullptr);
  const size_t maxApps = TProcessLimits{}.MaxAppsPerConnection;
  for (size_t i = 0; i < 2 * maxApps; ++i) app.NoteApp("a" + std::to_string(i));
  for (size_t i = 0; i < 2 * maxApps; ++i) EXPECT_TRUE(app.HadApp("a" + std::to_string(i))) << i;
  EXPECT_FALSE(app.HadApp("never"));
  app.NoteApp("a0");  // the latest now: "a1" is the oldest
  app.NoteApp("new");
  EXPECT_TRUE(app.HadApp("a0"));
  EXPECT_TRUE(app.HadApp("new"));
  EXPECT_FALSE(app.HadApp("a1"));
}

// A client that sends connection id fields of its own (any letter case, "-"
// for "_", repeated, ahead of the server's) gets only the server's id in its
// request, and its close removes its own registry entry, not the victim's.
TEST_F(Registries, ConnectionIdIsTheServersOwn) {
  TWsRequestHandler router;
  router.DisconnectPauseMs = 0;
  const TWsEvents events = router.Events();
  Wire victim(0), attacker(0);
  events.OnWsConnect(*victim.handler, *victim.connection, victim.handler->Request(), false);
  const std::string vid = std::to_string(victim.handler->ConId);
  HttpRequest& forged = attacker.handler->Request();
  for (const char* name : {"HTWS_VEXA", "htws_vexa", "Htws-Vexa", "HTWS_VEXA"}) forged.insert(name, vid);
  events.OnWsConnect(*attacker.handler, *attacker.connection, forged, false);
  const std::string aid = std::to_string(attacker.handler->ConId);
  ASSERT_NE(aid, vid);

  std::vector<std::string> idFields;
  for (const auto& field : forged)
    if (boost::beast::iequals(field.name_string(), "htws_vexa") ||
        boost::beast::iequals(field.name_string(), "htws-vexa"))
      idFields.push_back(std::string(field.name_string()) + "=" + std::string(field.value()));
  EXPECT_EQ(idFields, std::vector<std::string>{"HTWS_VEXA=" + aid});

  testing::internal::CaptureStdout();
  events.OnWsDisconnect(*attacker.connection, forged);
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    EXPECT_NE(WsApps->GetObject(vid), nullptr);
    EXPECT_FALSE(WsApps->ContainsKey(aid));
  }
  // A second close event of the same connection finds no id and removes nothing.
  events.OnWsDisconnect(*attacker.connection, forged);
  EXPECT_EQ(WsApps->Count(), 1u);
  events.OnWsDisconnect(*victim.connection, victim.handler->Request());
  EXPECT_EQ(WsApps->Count(), 0u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error: WSR: Dis Error:- the connection has no id\n");
}

// The registries with the bridge tests' stand-in PHP project: the
// application "sleep" replies "started" and never reads its input.
class Routing : public Registries {
 protected:
  void SetUp() override {
    Registries::SetUp();
    settings_.Add("php", platform::FindOnPath("php"));
    settings_.Add("orvantphppath", "/opt/shared/orvant");
    Settings = &settings_;
    ExePath = "/opt/bundle-root";
    ProjPath = ProjDir = std::string(VEXA_BRIDGE_FIXTURES) + "/proj";
    IsPhar = false;
    PhpAppType = "start.php";
  }
  void TearDown() override {
    Registries::TearDown();
    Settings = nullptr;
  }

  // The first bytes the server side writes to the wire, waiting for them.
  static std::string FirstBytes(Wire& wire) {
    timeval tv{60, 0};
    ::setsockopt(wire.peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[4096];
    const ssize_t n = ::recv(wire.peer, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
  static std::shared_ptr<TVexaRequester> AppOf(const Wire& wire, const std::string& ctrl) {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    auto* app = dynamic_cast<TWsApp*>(WsApps->GetObject(std::to_string(wire.handler->ConId)));
    if (app == nullptr) return nullptr;
    auto it = app->Apps.find(ctrl);
    return it == app->Apps.end() ? nullptr : it->second;
  }

 private:
  TJSON settings_;
};

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// A client's message waits on its connection's thread while the
// application's input queue is full, whatever its size, and never stops the
// application; a message dropped because its client left or its
// application ended meanwhile gets one console line saying which.
TEST_F(Routing, AWaitingMessageIsDroppedWithItsLineWhenItsClientLeavesOrItsApplicationEnds) {
  TWsRequestHandler router;
  router.DisconnectPauseMs = 0;
  const TWsEvents events = router.Events();
  Wire leaving(0), ending(0);
  auto send = [&](Wire& wire, std::string text) {
    events.OnWsMessage(*wire.connection, wire.handler->Request(), text);
  };
  // More than the input queue's bound once hex-coded: taken whole into the
  // empty queue, so that the next message waits.
  const std::string big = R"({"ctrl":"sleep","bdata":{"blob":")" + std::string(size_t(33) << 20, 'x') + "\"}}";
  const std::string small = R"({"ctrl":"sleep","bdata":{"n":1}})";
  const std::string dropped = "Error: WSR:- send Error " + ProjPath + " Project Vexa WS App Request ";
  testing::internal::CaptureStdout();
  std::shared_ptr<TVexaRequester> endingApp;
  for (Wire* wire : {&leaving, &ending}) {
    wire->handler->Request().insert("Host", "127.0.0.1");
    events.OnWsConnect(*wire->handler, *wire->connection, wire->handler->Request(), false);
    send(*wire, R"({"ctrl":"sleep","bdata":{},"token":"t","typeappobj":"o","evt":"e","evtp":"p"})");
    EXPECT_NE(FirstBytes(*wire).find("started"), std::string::npos);
    const std::shared_ptr<TVexaRequester> app = AppOf(*wire, "sleep");
    if (wire == &ending) endingApp = app;
    send(*wire, big);
    EXPECT_TRUE(app && app->AppRunning());
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Count(out, "process stopped"), 0u) << out;
  EXPECT_EQ(Count(out, "message dropped"), 0u) << out;

  // The client leaves while its message waits.
  testing::internal::CaptureStdout();
  std::thread waiting([&] { send(leaving, small); });
  ::shutdown(leaving.peer, SHUT_RDWR);
  waiting.join();
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, dropped + "the client of the application sleep left, message dropped\n");

  // The application ends while a message waits.
  testing::internal::CaptureStdout();
  waiting = std::thread([&] { send(ending, small); });
  if (endingApp) endingApp->StopApp();
  waiting.join();
  endingApp.reset();
  out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(Count(out, dropped + "the application sleep has ended, message dropped\n"), 1u) << out;
  EXPECT_EQ(Count(out, "message dropped"), 1u) << out;

  testing::internal::CaptureStdout();
  for (Wire* wire : {&leaving, &ending}) events.OnWsDisconnect(*wire->connection, wire->handler->Request());
  testing::internal::GetCapturedStdout();
}

// "sendall" walks and the manager change run on applications' threads while
// connections come and go under GlobalLock on others; nothing may crash,
// race or use a freed connection.
TEST_F(Registries, WalksSurviveConcurrentRemoval) {
  std::vector<std::unique_ptr<Wire>> wires;
  for (int i = 1; i <= 40; ++i) wires.push_back(std::make_unique<Wire>(i));
  auto global = std::make_shared<TGsApp>("room", nullptr);
  {
    std::lock_guard<std::mutex> lock(WsRegistryMutex());
    GsApps->SetObject("room", new TGsAppEntry(global));
  }
  auto requester = std::make_shared<TVexaRequester>("room", nullptr, true);
  std::atomic<bool> stop{false};
  std::vector<std::thread> walkers;
  // Reads the peers, so that sends never wait for a full socket buffer.
  walkers.emplace_back([&] {
    char buf[65536];
    while (!stop)
      for (auto& w : wires) ::recv(w->peer, buf, sizeof buf, MSG_DONTWAIT);
  });
  for (int t = 0; t < 3; ++t) {
    walkers.emplace_back([&, t] {
      while (!stop) {
        requester->SendToAllOthers("", "t", "x", 0);
        requester->SendToSubscribers("room", "t", "y", 0);
        requester->SendToGroup("room", "t", "z", 0);
        requester->SendToConnection("", "t", "w", t + 1);
        try {
          requester->SetGlobalManager(t + 1);
        } catch (const std::exception&) {
          // the connection is not there at this moment
        }
      }
    });
  }
  testing::internal::CaptureStdout();
  for (int round = 0; round < 300; ++round) {
    for (int i = 1; i <= 40; ++i) {
      std::lock_guard<std::recursive_mutex> g(*GlobalLock);
      TWsApp* app = AddConnection(i, wires[static_cast<size_t>(i - 1)]->Handle());
      std::lock_guard<std::mutex> lock(WsRegistryMutex());
      global->Conns[std::to_string(i)] = app->WebSocket;
      app->Globals["room"] = global;
    }
    for (int i = 1; i <= 40; ++i) {
      std::lock_guard<std::recursive_mutex> g(*GlobalLock);
      std::unique_ptr<TVexaBase> removed;
      {
        std::lock_guard<std::mutex> lock(WsRegistryMutex());
        auto* app = dynamic_cast<TWsApp*>(WsApps->GetObject(std::to_string(i)));
        app->WebSocket->MarkClosed();
        global->Conns.erase(std::to_string(i));
        removed.reset(WsApps->Extract(std::to_string(i)).Obj);
      }
    }
  }
  stop = true;
  for (auto& t : walkers) t.join();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(WsApps->Count(), 0u);
}

}  // namespace
// A first message waits for the starts begun before it, until each settles
// or its bound runs out; starts begun after it, other names and a name known
// to stay per connection never hold it up; the table forgets the oldest
// learned names first.
TEST(AppStarts, WaitsForEarlierStartsOnlyAndAtMostTheBound) {
  using namespace std::chrono;
  // A bound far beyond these waits: one that should end at once, or with a
  // settle, and does not lasts half of it.
  TAppStarts starts(seconds(60));
  const auto first = starts.Begin("x");
  const auto other = starts.Begin("y");
  const auto second = starts.Begin("x");
  auto t0 = steady_clock::now();
  starts.WaitForEarlier("x", first);  // nothing before it
  starts.WaitForEarlier("y", other);  // another name
  EXPECT_LT(steady_clock::now() - t0, starts.Bound / 2);

  // The second waits for the first, until it settles.
  std::atomic<bool> settled{false};
  std::thread settler([&] {
    std::this_thread::sleep_for(milliseconds(200));  // the waiter is waiting by then, as a rule
    settled = true;
    starts.Settle("x", first);
  });
  t0 = steady_clock::now();
  starts.WaitForEarlier("x", second);
  const auto waited = steady_clock::now() - t0;
  EXPECT_TRUE(settled);
  EXPECT_LT(waited, starts.Bound / 2);
  settler.join();
  starts.Settle("x", second);
  starts.Settle("x", second);  // twice: nothing
  starts.Settle("y", other);

  // A start that never settles holds a later one for its bound, counted
  // from its own beginning.
  TAppStarts bounded(milliseconds(500));
  t0 = steady_clock::now();
  const auto stuck = bounded.Begin("x");
  const auto later = bounded.Begin("x");
  bounded.WaitForEarlier("x", later);
  EXPECT_GE(steady_clock::now() - t0, bounded.Bound);
  EXPECT_LT(steady_clock::now() - t0, bounded.Bound + seconds(30));
  bounded.Settle("x", stuck);
  bounded.Settle("x", later);
}

TEST(AppStarts, WhatAFirstReplyShowsDecidesWhetherLaterStartsWait) {
  using namespace std::chrono;
  TAppStarts starts(seconds(30));
  // Unknown: the second start waits for the first, however long it takes;
  // its first reply shows that it stays per connection, and the waiter goes.
  const auto a = starts.Begin("p");
  const auto b = starts.Begin("p");
  std::atomic<bool> went{false};
  std::thread waiter([&] {
    starts.WaitForEarlier("p", b);
    went = true;
  });
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_FALSE(went);
  starts.Settle("p", a, TAppStarts::TKind::PerConnection);
  waiter.join();
  starts.Settle("p", b);  // ended without a reply: what was learned stays
  EXPECT_EQ(starts.KindOf("p"), TAppStarts::TKind::PerConnection);
  // Known to stay per connection: starts side by side, never waiting.
  const auto c = starts.Begin("p");
  const auto d = starts.Begin("p");
  auto t0 = steady_clock::now();
  starts.WaitForEarlier("p", d);
  EXPECT_LT(steady_clock::now() - t0, starts.Bound / 2);
  starts.Settle("p", c);
  starts.Settle("p", d);

  // Known global: a later start waits until the earlier one settles.
  const auto g1 = starts.Begin("g");
  starts.Settle("g", g1, TAppStarts::TKind::Global);
  EXPECT_EQ(starts.KindOf("g"), TAppStarts::TKind::Global);
  const auto g2 = starts.Begin("g");
  const auto g3 = starts.Begin("g");
  went = false;
  std::thread joiner([&] {
    starts.WaitForEarlier("g", g3);
    went = true;
  });
  std::this_thread::sleep_for(milliseconds(200));
  EXPECT_FALSE(went);
  starts.Settle("g", g2);  // ended without a reply: still global
  joiner.join();
  starts.Settle("g", g3);
  EXPECT_EQ(starts.KindOf("g"), TAppStarts::TKind::Global);

  // The oldest learned names are forgotten first; a name learned again is the latest.
  for (size_t i = 0; i < TAppStarts::kMaxKnownNames - 2; ++i)
    starts.Settle("n" + std::to_string(i), starts.Begin("n" + std::to_string(i)), TAppStarts::TKind::PerConnection);
  starts.Settle("p", starts.Begin("p"), TAppStarts::TKind::PerConnection);
  starts.Settle("new", starts.Begin("new"), TAppStarts::TKind::Global);
  EXPECT_EQ(starts.KindOf("g"), TAppStarts::TKind::Unknown);
  EXPECT_EQ(starts.KindOf("n0"), TAppStarts::TKind::PerConnection);
  EXPECT_EQ(starts.KindOf("p"), TAppStarts::TKind::PerConnection);
  EXPECT_EQ(starts.KindOf("new"), TAppStarts::TKind::Global);
}

// A ticket settles on the table that issued it, with a name of its own.
TEST(AppStarts, ATicketSettlesOnItsOwnTable) {
  TAppStarts starts(std::chrono::seconds(30));
  TAppStarts::Id later = 0;
  {
    std::string name = "t";
    TAppStarts::Ticket ticket(starts, name, starts.Begin(name));
    later = starts.Begin("t");
    name = "changed";
  }
  const auto t0 = std::chrono::steady_clock::now();
  starts.WaitForEarlier("t", later);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, starts.Bound / 2);
  starts.Settle("t", later);
}

}  // namespace vexa

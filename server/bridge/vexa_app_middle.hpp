#pragma once
// The bridge to one PHP application process (and to the one child process
// that the application may start for itself), and the PHP process protocol.
//
// Owners (the page road, the WebSocket applications) use it like this:
//   auto app = std::make_unique<TVexaAppMiddle>(ctrl, owner, isWs);
//   app->OnData = ...; app->OnError = ...; app->OnExit = ...;
//   app->OnServerCommand = ...;     // WebSocket road only, may stay unset
//   app->WaitForExit = true;        // page road: StartApp returns at the end
//   app->StartApp(TVexaAppMiddle::PhpExe(),
//                 TVexaAppMiddle::AppParams(ctrl, evt, evtp),
//                 {"idata=" + hex, "cdata=" + hex, "bcookies=" + hex});
//
// Threads that call into the owner:
//   OnData          the application's output reader (and, for the last reply,
//                   its runner thread); one call per reply piece, in order;
//   OnError         the same reader, for every line of standard error: never
//                   concurrently with OnData, and after the replies that the
//                   process wrote before that line;
//   OnFirstReply    the output reader, once, after every piece of the
//                   process's first reply was handled (its "server" items
//                   included);
//   OnExit          the runner thread, once, after the last OnData/OnError;
//                   the owner may destroy the bridge inside it (and only
//                   there: the other handlers are called from the middle of
//                   the bridge's work, where they may call Shutdown() but
//                   must leave the destruction to another thread);
//   OnServerCommand the output reader, for every "server" item of a reply.
// A program that cannot be started prints "Error Process:- ..." and gives no
// OnExit.
//
// Once Shutdown() (which the destructor calls) has begun, no callback reaches
// the owner any more: it shuts the bridge to its runners, stops the child
// process and the application (SIGKILL to each process group, waiting for
// its end) and waits for callbacks already under way on other threads. An
// owner must therefore not destroy the bridge while holding a lock that its
// own OnData/OnError/OnServerCommand handler takes. A derived class whose
// handlers use its own members calls Shutdown() first in its destructor, so
// that no callback runs while those members are being destroyed.
//
// Writes to the application's standard input (SendToApp, SendEvent,
// SendCtrlEvent, Quit, WsDisconnect, the child's relay) may come from any
// thread; each message reaches the application as one whole line. None of
// them waits for the process to read: they queue in its runner (see
// TChildProcess::Write), so a process that stops reading never holds up the
// socket or pipe reader that writes to it. SendToAppWaiting, for a client's
// own messages, waits instead while the queue is full.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.hpp"
#include "core/process_slots.hpp"

namespace vexa {

class TChildProcess;
class CallbackGate;

// What the owners of applications reach them through; both events are
// allowed on the base and do nothing there.
class TVexaAppMiddleBase {
 public:
  virtual ~TVexaAppMiddleBase() = default;
  virtual void Quit(const TJSON* bdata) { (void)bdata; }
  virtual void WsDisconnect(const TJSON* bdata) { (void)bdata; }
};

class TVexaAppMiddle : public TVexaAppMiddleBase {
 public:
  // One piece of reply for the front end:
  //  isJson false, isItem false: plain output (no envelope) or an error text;
  //  isJson true,  isItem false: a body (decoded content, noise appended);
  //  isJson true,  isItem true:  one item as JSON text, without its ",".
  // The envelope is valid only during the call (empty for plain output; its
  // "content" is empty once decoded into the text). The text is the
  // bridge's own: a handler may take it (move it out).
  using DataEvent = std::function<void(const TJSON& envelope, std::string& text, bool isJson, bool isItem)>;
  using LineEvent = std::function<void(const std::string& line)>;
  using ExitEvent = std::function<void(const std::string& text)>;  // text always empty
  // The item is the bridge's own: a handler may take it apart.
  using ServerCommandEvent = std::function<void(JsonValue& item)>;
  using SignalEvent = std::function<void()>;

  // isWs false makes a bridge of the page road (IsRequest): it refuses the
  // "childp" and "server" items of a reply. `owner` is not owned; it is the
  // creator's own tag, never used by the bridge.
  TVexaAppMiddle(std::string name, void* owner, bool isWs);
  ~TVexaAppMiddle() override;
  TVexaAppMiddle(const TVexaAppMiddle&) = delete;
  // Ends the bridge's processes and callbacks for good (see above); may be
  // called more than once, also from inside one of the bridge's callbacks.
  void Shutdown();
  TVexaAppMiddle& operator=(const TVexaAppMiddle&) = delete;

  // The interpreter: the setting "php".
  static std::string PhpExe();
  // The interpreter's arguments for an application, the same on both roads:
  // "-f", script, "-", "--aroot", ExePath, "--sharedpath", <orvantphppath>,
  // "--ctrl", ctrl, "--evt", evt, "--evtp", evtp, "--droot", document root.
  static std::vector<std::string> AppParams(const std::string& ctrl, const std::string& evt,
                                            const std::string& evtp);

  // Starts the application process with the server's environment followed by
  // VEXA_EXECPATH, VEXA_PROJPATH, VEXA_PROJDIR and `extraEnv`. With
  // WaitForExit, returns only after the process ended and OnExit returned.
  // The process holds `slot`, or without one an application's slot taken
  // here; when none is free nothing starts (the "binding process" line says
  // why). The application's child process takes its slot from the counter
  // that `slot` came from.
  void StartApp(const std::string& exe, const std::vector<std::string>& params,
                const std::vector<std::string>& extraEnv, TProcessSlot slot = {});

  // Starts the application's own child process (the "createprocess" command)
  // with the server's environment plus VEXA_EXECPATH and VEXA_PROJPATH. Its
  // stdout lines go to the application's stdin unwrapped (line + CR LF), its
  // stderr lines are printed ("MidApp VexaErr:- "), and its end sends the
  // control event "cquit" with `childId`. At most one child at a time: false,
  // and nothing started, while one runs; false too, with a console line, when
  // the server has no process slot free. Does not wait. The caller sends
  // "onprocesscreate" afterwards (SendCtrlEvent).
  bool StartChild(const std::string& childId, const std::string& exe, const std::vector<std::string>& params);
  bool ChildRunning() const;
  std::string ChildId() const;

  // A message on the application's stdin: raw writes `data` as the line;
  // otherwise `data` is the hex coding of an inner JSON text and goes into
  // the envelope { "id" : "1", "msg" : "", "type" : "c", "cpdata" : data }.
  void SendToApp(const std::string& data, bool raw);
  // SendToApp(data, false) for a client's message: waits on the calling
  // thread while the application's input queue is full, until there is
  // room, the application ends or `gone` returns true (see
  // TChildProcess::WriteWaiting). True when the message was taken.
  // `json` is the message's plain text: it is hex-coded straight into the
  // envelope line, and freed before the line waits for room.
  bool SendToAppWaiting(std::string json, const std::function<bool()>& gone);
  // Application event: inner text { ctrl, evt, evtp, "type" : "s", bdata }.
  void SendEvent(const std::string& evt, const std::string& evtp, const TJSON* bdata);
  // Control event: inner text { evt, evtp, "type" : "s", bdata } (no ctrl).
  void SendCtrlEvent(const std::string& evt, const std::string& evtp, const TJSON* bdata);
  // text + CR LF to the application / the child, only while it runs.
  void WriteToApp(const std::string& text);
  void WriteToChild(const std::string& text);

  // The owning connection closed: event "quit", then "App Exit <name>".
  void Quit(const TJSON* bdata) override;
  // A connection left this global application: event "wsdiscon".
  void WsDisconnect(const TJSON* bdata) override;

  bool AppRunning() const;
  // Waits until the application process has ended, at most `timeout`; true
  // when it has (or none runs).
  bool WaitForAppEnd(std::chrono::milliseconds timeout);
  // Ends the application process (and with it its child); unlike Shutdown
  // the run finishes as usual, OnExit included. Any thread.
  void StopApp();

  // Set by the owner before StartApp.
  DataEvent OnData;
  LineEvent OnError;
  ExitEvent OnExit;
  ServerCommandEvent OnServerCommand;
  SignalEvent OnFirstReply;
  bool WaitForExit = false;
  // With WaitForExit: asked about every 100 ms while StartApp waits for the
  // run's end; once it returns true the application is stopped (as by
  // StopApp) and the wait goes on until the run is over.
  std::function<bool()> StopWhen;

  std::atomic<bool> IsGlobal{false};
  const std::string AppName;
  const bool IsRequest;
  void* const Owner;

 private:
  // The line is taken, not copied, when no reply is collected yet.
  void OnAppOutput(std::string& line);
  // Takes the reply apart, freeing each form of its text once the next is
  // made: the line, then the decoded item list, then each item's text.
  void ParseAppOutput(std::string& text);
  // The steps of ParseAppOutput, in their order; they hand one TReply on.
  struct TReply;
  // Finds the envelope (from the header marker to the last "}") and the
  // noise around it.
  static TReply SplitReply(const std::string& text, size_t marker);
  // Decodes a plain "content" string straight from the line and parses the
  // envelope without it (the line is freed then); leaves everything to
  // ParseEnvelope when the envelope is not of that form. False when the
  // content was no hex text: its error is delivered.
  bool DecodeFromLine(std::string& text, TJSON& envelope, TReply& reply);
  // Parses the envelope's own text; false when it is no JSON: its error
  // text is delivered.
  bool ParseEnvelope(std::string& text, TJSON& envelope, TReply& reply);
  // The payload from the content's hex text; raises on a bad hex digit.
  static void FillPayload(std::string_view hex, TReply& reply);
  // A body as one piece, an item list item by item.
  void DeliverPayload(const TJSON& envelope, TReply& reply);
  void DeliverItems(const TJSON& envelope, std::string& payload);
  // One item: a server command, a relay to the child, or a piece for OnData.
  void RouteItem(const TJSON& envelope, JsonValue& item);
  // The envelope's text as the application wrote it, for the error reply.
  static std::string EnvelopeAsItCame(TReply& reply);
  void OnAppProcessExit();
  void OnChildOutput(const std::string& line);
  void OnChildError(const std::string& line);
  void OnChildExit(const std::shared_ptr<TChildProcess>& runner);
  void Deliver(const TJSON& envelope, std::string& text, bool isJson, bool isItem);
  void Deliver(const TJSON& envelope, std::string&& text, bool isJson, bool isItem) {
    Deliver(envelope, text, isJson, isItem);
  }
  // The envelope as TJSON writes it, built at its final size: `data` is
  // hex-coded into it when `hexCode`, else it is hex already (hex digits
  // need no escaping); `end` follows the envelope.
  static std::string WrapMessage(std::string_view data, bool hexCode = false, std::string_view end = {});
  std::shared_ptr<TChildProcess> AppRunner() const;
  std::shared_ptr<TChildProcess> ChildRunner() const;

  std::shared_ptr<CallbackGate> gate_;
  mutable std::mutex mutex_;  // guards AppProcess, ChildProcess, childId_ and slots_
  std::shared_ptr<TChildProcess> AppProcess;
  std::shared_ptr<TChildProcess> ChildProcess;
  std::string childId_;
  TProcessSlots* slots_ = &TProcessSlots::Instance();  // where the application's slot came from
  // Touched only by the output reader and, after it ended, the runner thread.
  std::string OutBuffer;
  bool replied_ = false;
};

}  // namespace vexa

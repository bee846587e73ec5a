#include "server/bridge/vexa_app_middle.hpp"

#include <exception>

#include "core/globals.hpp"
#include "server/bridge/callback_gate.hpp"
#include "server/bridge/child_process.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa {

namespace {

// The header marker: the envelope's first member "headers" right after "{".
constexpr std::string_view kHeaderMarker = "{\"header";

bool EndsWith(const std::string& text, char c) { return !text.empty() && text.back() == c; }

// The text at "response.type" of an item; raises like a missing key would.
std::string ResponseType(const JsonValue& item) {
  const JsonValue* response = item.is_object() && item.contains("response") ? &item["response"] : nullptr;
  const JsonValue* type =
      response && response->is_object() && response->contains("type") ? &(*response)["type"] : nullptr;
  if (type && (type->is_object() || type->is_array()))
    throw std::runtime_error("\"response.type\" is not a text");
  return JSONToVariant(type).ToString();
}

}  // namespace

TVexaAppMiddle::TVexaAppMiddle(std::string name, void* owner, bool isWs)
    : AppName(std::move(name)), IsRequest(!isWs), Owner(owner), gate_(std::make_shared<CallbackGate>()) {}

TVexaAppMiddle::~TVexaAppMiddle() { Shutdown(); }

void TVexaAppMiddle::Shutdown() {
  // Nothing reaches the owner from now on; then end both processes, which
  // also frees any callback blocked on their pipes; then wait for callbacks
  // still running on other threads.
  gate_->Shut();
  std::shared_ptr<TChildProcess> child, app;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    child = std::move(ChildProcess);
    app = std::move(AppProcess);
  }
  if (child) child->Stop();
  if (app) app->Stop();
  gate_->Drain();
  // The runners finish by themselves once their children are gone; waiting
  // here keeps their threads from outliving the bridge's owner for long.
  if (child && !child->IsRunnerThread()) child->WaitFor();
  if (app && !app->IsRunnerThread()) app->WaitFor();
}

std::string TVexaAppMiddle::PhpExe() { return Settings ? Settings->GetValue("php").ToString() : "php"; }

std::vector<std::string> TVexaAppMiddle::AppParams(const std::string& ctrl, const std::string& evt,
                                                   const std::string& evtp) {
  const std::string script = IsPhar ? ProjPath : ProjPath + "/" + PhpAppType;
  const std::string docRoot = IsPhar ? "phar://" + ProjPath : ProjPath;
  const std::string shared = Settings ? Settings->GetValue("orvantphppath").ToString() : "";
  return {"-f",    script, "-",   "--aroot", ExePath, "--sharedpath", shared, "--ctrl",
          ctrl,    "--evt", evt,  "--evtp",  evtp,    "--droot",      docRoot};
}

std::shared_ptr<TChildProcess> TVexaAppMiddle::AppRunner() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return AppProcess;
}

std::shared_ptr<TChildProcess> TVexaAppMiddle::ChildRunner() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ChildProcess;
}

bool TVexaAppMiddle::AppRunning() const {
  auto app = AppRunner();
  return app && app->Running();
}

bool TVexaAppMiddle::WaitForAppEnd(std::chrono::milliseconds timeout) {
  auto app = AppRunner();
  return !app || app->WaitForEnd(timeout);
}

void TVexaAppMiddle::StopApp() {
  if (auto app = AppRunner()) app->Stop();
}

bool TVexaAppMiddle::ChildRunning() const {
  // A child whose start failed gives no OnExit: its finished runner no longer counts.
  auto child = ChildRunner();
  return child && !child->Finished();
}

std::string TVexaAppMiddle::ChildId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return childId_;
}

void TVexaAppMiddle::StartApp(const std::string& exe, const std::vector<std::string>& params,
                              const std::vector<std::string>& extraEnv, TProcessSlot slot) {
  std::shared_ptr<TChildProcess> runner;
  try {
    if (!slot) slot = TProcessSlots::Instance().TryTake(TProcessKind::Application);
    if (!slot) throw std::runtime_error(TProcessSlots::Instance().BusyText(TProcessKind::Application));
    TProcessSlots* const slots = slot.Owner();
    std::vector<std::string> env = {"VEXA_EXECPATH=" + ExePath, "VEXA_PROJPATH=" + ProjPath,
                                    "VEXA_PROJDIR=" + ProjDir};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    OutBuffer.clear();
    replied_ = false;
    runner = TChildProcess::Create(exe, params, std::move(env));
    runner->Slot = std::move(slot);
    // The runner's callbacks reach the bridge only through the gate.
    auto gate = gate_;
    runner->OnOutput = [this, gate](std::string& line) { gate->Run([&] { OnAppOutput(line); }); };
    runner->OnError = [gate, onError = OnError](const std::string& line) {
      if (onError) gate->Run([&] { onError(line); });
    };
    runner->OnExit = [this, gate](const std::string&, const std::string&) {
      gate->Run([&] { OnAppProcessExit(); });
    };
    {
      std::lock_guard<std::mutex> lock(mutex_);
      AppProcess = runner;
      slots_ = slots;  // the application's child counts where it does
    }
    runner->Start();
  } catch (const std::exception& e) {
    PrintError("Error in " + ProjPath + " Project Vexa App Middle in binding process " + ConsoleQuote(e.what()));
    std::lock_guard<std::mutex> lock(mutex_);
    if (AppProcess == runner) AppProcess.reset();
    return;
  }
  if (!WaitForExit) return;
  if (StopWhen) {
    while (!runner->WaitFor(std::chrono::milliseconds(100))) {
      if (StopWhen()) {
        runner->Stop();
        break;
      }
    }
  }
  runner->WaitFor();
}

void TVexaAppMiddle::OnAppProcessExit() {
  if (!OutBuffer.empty()) {
    try {
      ParseAppOutput(OutBuffer);
    } catch (const std::exception& e) {
      PrintError("AppMid:- Error onvexadatac:- " + ConsoleQuote(e.what()));
    }
    OutBuffer.clear();
  }
  if (auto child = ChildRunner()) {
    // The child's end ("cquit", "stdexitp") is handled before the
    // application's own: OnExit may end the bridge, after which the child's
    // end would reach nobody. The stopped child's run ends within the
    // runner's stop time.
    child->Stop();
    child->WaitFor();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    AppProcess.reset();
  }
  // The owner may destroy the bridge inside OnExit: call a copy, so that the
  // handler's own captures outlive the bridge, and touch nothing afterwards.
  if (ExitEvent onExit = OnExit) onExit("");
}

bool TVexaAppMiddle::StartChild(const std::string& childId, const std::string& exe,
                                const std::vector<std::string>& params) {
  std::shared_ptr<TChildProcess> runner;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ChildProcess && !ChildProcess->Finished()) return false;
    TProcessSlot slot = slots_->TryTake(TProcessKind::Application);
    if (!slot) throw std::runtime_error(slots_->BusyText(TProcessKind::Application));
    runner = TChildProcess::Create(exe, params,
                                   std::vector<std::string>{"VEXA_EXECPATH=" + ExePath, "VEXA_PROJPATH=" + ProjPath});
    runner->Slot = std::move(slot);
    auto gate = gate_;
    runner->OnOutput = [this, gate](const std::string& line) { gate->Run([&] { OnChildOutput(line); }); };
    runner->OnError = [this, gate](const std::string& line) { gate->Run([&] { OnChildError(line); }); };
    // The runner keeps itself alive; a weak link avoids a cycle through the callback.
    std::weak_ptr<TChildProcess> weak = runner;
    runner->OnExit = [this, gate, weak](const std::string&, const std::string&) {
      gate->Run([&] { OnChildExit(weak.lock()); });
    };
    childId_ = childId;
    ChildProcess = runner;
    runner->Start();
    return true;
  } catch (const std::exception& e) {
    PrintError("Error in " + ProjPath + " Project Vexa App Middle in binding Child process " + ConsoleQuote(e.what()));
    std::lock_guard<std::mutex> lock(mutex_);
    if (runner && ChildProcess == runner) ChildProcess.reset();
    return false;
  }
}

void TVexaAppMiddle::OnChildOutput(const std::string& line) { WriteToApp(line); }

void TVexaAppMiddle::OnChildError(const std::string& line) { PrintError("MidApp VexaErr:- " + ConsoleQuote(line)); }

void TVexaAppMiddle::OnChildExit(const std::shared_ptr<TChildProcess>& runner) {
  std::string childId;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (ChildProcess == runner) ChildProcess.reset();
    childId = childId_;
  }
  SendCtrlEvent("cquit", childId, nullptr);
  WriteLine("stdexitp:- App:-" + ConsoleQuote(AppName) + " Child:-" + ConsoleQuote(childId));
}

void TVexaAppMiddle::WriteToApp(const std::string& text) {
  auto app = AppRunner();
  if (app && app->Running()) app->WriteLine(text);
}

void TVexaAppMiddle::WriteToChild(const std::string& text) {
  auto child = ChildRunner();
  if (!child || !child->Running()) return;
  try {
    child->Write(text + "\r\n");
  } catch (const std::exception& e) {
    PrintError("Error Write to Child:- " + ConsoleQuote(e.what()) + ConsoleQuote(text));
  }
}

std::string TVexaAppMiddle::WrapMessage(std::string_view data, bool hexCode, std::string_view end) {
  static constexpr std::string_view head = R"({ "id" : "1", "msg" : "", "type" : "c", "cpdata" : ")";
  static constexpr std::string_view tail = "\" }";
  const size_t body = hexCode ? 2 * data.size() : data.size();
  std::string out;
  out.reserve(head.size() + body + tail.size() + end.size());
  out += head;
  if (hexCode) {
    out.resize(head.size() + body);  // within the reserved room
    WriteHex(data, out.data() + head.size());
  } else {
    out += data;
  }
  out += tail;
  out += end;
  return out;
}

void TVexaAppMiddle::SendToApp(const std::string& data, bool raw) { WriteToApp(raw ? data : WrapMessage(data)); }

bool TVexaAppMiddle::SendToAppWaiting(std::string json, const std::function<bool()>& gone) {
  auto app = AppRunner();
  if (!app || !app->Running()) return false;
  std::string line = WrapMessage(json, true, "\r\n");
  std::string().swap(json);  // a large message is not held twice while it waits
  return app->WriteWaiting(std::move(line), gone);
}

void TVexaAppMiddle::SendEvent(const std::string& evt, const std::string& evtp, const TJSON* bdata) {
  TJSON inner;
  inner.Add("ctrl", AppName);
  inner.Add("evt", evt);
  inner.Add("evtp", evtp);
  inner.Add("type", "s");
  inner.AddJSON("bdata", bdata ? *bdata : TJSON());
  SendToApp(StrToHex(inner.GetJSON()), false);
}

void TVexaAppMiddle::SendCtrlEvent(const std::string& evt, const std::string& evtp, const TJSON* bdata) {
  TJSON inner;
  inner.Add("evt", evt);
  inner.Add("evtp", evtp);
  inner.Add("type", "s");
  inner.AddJSON("bdata", bdata ? *bdata : TJSON());
  SendToApp(StrToHex(inner.GetJSON()), false);
}

void TVexaAppMiddle::Quit(const TJSON* bdata) {
  SendEvent("quit", "quit", bdata);
  WriteLine("App Exit " + ConsoleQuote(AppName));
}

void TVexaAppMiddle::WsDisconnect(const TJSON* bdata) { SendEvent("wsdiscon", "d", bdata); }

// ---- Replies on the application's standard output ----

void TVexaAppMiddle::OnAppOutput(std::string& line) {
  bool replyDone = false;
  try {
    // The reader already took the line ends away.
    if (OutBuffer.empty())
      OutBuffer.swap(line);
    else
      OutBuffer += line;
    if (EndsWith(OutBuffer, '}')) {
      // Taken out first, so the buffer is empty whatever the parse does.
      std::string replyText = std::move(OutBuffer);
      OutBuffer.clear();
      replyDone = true;
      ParseAppOutput(replyText);
    }
  } catch (const std::exception& e) {
    OutBuffer.clear();
    PrintError("AppMid:- Error onvexadata:- " + ConsoleQuote(e.what()));
  }
  if (replyDone && !replied_) {
    replied_ = true;
    if (OnFirstReply) OnFirstReply();
  }
}

void TVexaAppMiddle::Deliver(const TJSON& envelope, std::string& text, bool isJson, bool isItem) {
  if (OnData) OnData(envelope, text, isJson, isItem);
}

namespace {

// Where the value of the envelope's own member "content" lies, when it is a
// plain string (no escapes: hex digits need none): [begin, end) within
// `json`, an object's text. False when there is none such; the full parse
// then decides.
bool FindContent(std::string_view json, size_t& begin, size_t& end) {
  size_t depth = 0;
  bool expectKey = false;
  const size_t n = json.size();
  auto skipSpace = [&](size_t k) {
    while (k < n && (json[k] == ' ' || json[k] == '\t' || json[k] == '\n' || json[k] == '\r')) ++k;
    return k;
  };
  for (size_t i = 0; i < n; ++i) {
    const char c = json[i];
    if (c == '"') {
      size_t j = i + 1;
      bool escaped = false;
      while (j < n && json[j] != '"') {
        if (json[j] == '\\') {
          escaped = true;
          ++j;
        }
        ++j;
      }
      if (j >= n) return false;
      if (depth == 1 && expectKey) {
        expectKey = false;
        if (!escaped && json.substr(i + 1, j - i - 1) == "content") {
          size_t k = skipSpace(j + 1);
          if (k >= n || json[k] != ':') return false;
          k = skipSpace(k + 1);
          if (k >= n || json[k] != '"') return false;
          size_t close = k + 1;
          while (close < n && json[close] != '"' && json[close] != '\\') ++close;
          if (close >= n || json[close] != '"') return false;
          begin = k + 1;
          end = close;
          return true;
        }
      }
      i = j;
    } else if (c == '{' || c == '[') {
      ++depth;
      expectKey = c == '{' && depth == 1;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return false;
      --depth;
    } else if (c == ',' && depth == 1) {
      expectKey = true;
    }
  }
  return false;
}

}  // namespace

// One reply on its way through ParseAppOutput.
struct TVexaAppMiddle::TReply {
  // Where the envelope lies in the line: from the header marker to the last
  // "}" (to the end of the line when no "}" follows the marker).
  size_t envelopeBegin = 0;
  size_t envelopeEnd = 0;
  bool closed = false;  // a "}" follows the marker
  // The text before the envelope and after its closing brace.
  std::string noise;
  // The envelope's own text, unless its content was decoded from the line.
  std::string envelopeText;
  // "[" + the decoded content + noise, with room left for "{}]".
  std::string payload;
  size_t contentSize = 0;     // the decoded content's bytes in `payload`
  bool payloadWhole = true;   // `payload` still holds the content (for the error text)
  // Set when the content was decoded straight from the line: the envelope
  // was parsed without it ("content" : ""), whose text is kept with the
  // content's offset in it.
  bool decodedFromLine = false;
  std::string envelopeWithoutContent;
  size_t contentOffset = 0;
};

namespace {

// Whether `json` is an object whose "content" is an empty string; false for
// a broken text.
bool HasEmptyContent(const std::string& json) {
  try {
    const JsonValue probe = ParseJsonText(json);
    return probe.is_object() && probe["content"].is_string() &&
           probe["content"].get_ref<const std::string&>().empty();
  } catch (const std::exception&) {
    return false;  // the full text goes the usual way, with its error line
  }
}

}  // namespace

void TVexaAppMiddle::ParseAppOutput(std::string& text) {
  TJSON envelope;
  const size_t marker = text.find(kHeaderMarker);
  if (marker == std::string::npos) {
    Deliver(envelope, text, false, false);  // plain output
    return;
  }
  TReply reply = SplitReply(text, marker);
  if (!DecodeFromLine(text, envelope, reply)) return;
  if (!reply.decodedFromLine && !ParseEnvelope(text, envelope, reply)) return;
  try {
    if (!reply.decodedFromLine) FillPayload(envelope.GetValue("content").ToString(), reply);
    DeliverPayload(envelope, reply);
  } catch (const std::exception& e) {
    PrintError("AppMid:- Error OrvantPHP App \"" + ConsoleQuote(AppName) + "\" Invalid Data " + ConsoleQuote(e.what()));
    Deliver(envelope, EnvelopeAsItCame(reply), false, false);
  }
}

TVexaAppMiddle::TReply TVexaAppMiddle::SplitReply(const std::string& text, size_t marker) {
  TReply reply;
  const size_t lastBrace = text.rfind('}');
  reply.closed = lastBrace != std::string::npos && lastBrace >= marker;
  reply.envelopeBegin = marker;
  reply.envelopeEnd = reply.closed ? lastBrace + 1 : text.size();
  reply.noise = text.substr(0, marker);
  if (reply.closed) reply.noise += text.substr(lastBrace + 1);
  return reply;
}

bool TVexaAppMiddle::DecodeFromLine(std::string& text, TJSON& envelope, TReply& reply) {
  if (!reply.closed) return true;
  const std::string_view envelopeText(text.data() + reply.envelopeBegin, reply.envelopeEnd - reply.envelopeBegin);
  size_t contentBegin = 0, contentEnd = 0;
  if (!FindContent(envelopeText, contentBegin, contentEnd)) return true;
  std::string envelopeWithoutContent;
  envelopeWithoutContent.reserve(envelopeText.size() - (contentEnd - contentBegin));
  envelopeWithoutContent.append(envelopeText.substr(0, contentBegin)).append(envelopeText.substr(contentEnd));
  if (!HasEmptyContent(envelopeWithoutContent) || !envelope.Parse(envelopeWithoutContent)) {
    envelope = TJSON();
    return true;
  }
  try {
    FillPayload(envelopeText.substr(contentBegin, contentEnd - contentBegin), reply);
  } catch (const std::exception& e) {
    PrintError("AppMid:- Error OrvantPHP App \"" + ConsoleQuote(AppName) + "\" Invalid Data " + ConsoleQuote(e.what()));
    Deliver(envelope, std::string(envelopeText), false, false);
    return false;
  }
  reply.decodedFromLine = true;
  reply.envelopeWithoutContent = std::move(envelopeWithoutContent);
  reply.contentOffset = contentBegin;
  std::string().swap(text);  // the line is done with
  return true;
}

bool TVexaAppMiddle::ParseEnvelope(std::string& text, TJSON& envelope, TReply& reply) {
  // A line that is nothing but the envelope gives its text up whole.
  if (reply.envelopeBegin == 0 && reply.envelopeEnd == text.size())
    reply.envelopeText = std::move(text);
  else
    reply.envelopeText = text.substr(reply.envelopeBegin, reply.envelopeEnd - reply.envelopeBegin);
  if (envelope.Parse(reply.envelopeText)) return true;
  Deliver(envelope, "Error Invalid JSON:- " + reply.envelopeText + " :Error Noise data:-" + reply.noise, false, false);
  return false;
}

void TVexaAppMiddle::FillPayload(std::string_view hex, TReply& reply) {
  reply.payload.reserve(1 + hex.size() / 2 + reply.noise.size() + 3);
  reply.payload += '[';
  AppendHexToStr(hex, reply.payload);
  reply.contentSize = reply.payload.size() - 1;
  reply.payload += reply.noise;
}

void TVexaAppMiddle::DeliverPayload(const TJSON& envelope, TReply& reply) {
  std::string& payload = reply.payload;
  if (payload.size() > 1 && payload.back() == ',') {
    DeliverItems(envelope, payload);
    return;
  }
  // A body: the content with the noise after it.
  payload.erase(0, 1);
  reply.payloadWhole = false;
  Deliver(envelope, payload, true, false);
}

void TVexaAppMiddle::DeliverItems(const TJSON& envelope, std::string& payload) {
  // Every item is followed by ","; the "{}" only closes the list.
  JsonValue items;
  payload += "{}]";
  try {
    items = ParseJsonText(payload);  // the nesting guard keeps a bracket flood off the stack
  } catch (const std::exception& e) {
    WriteLine("Error:- Invalid JSON " + ConsoleQuote(e.what()));  // the one line of a refused reply
    return;
  }
  for (size_t i = 0; i + 1 < items.size(); ++i) RouteItem(envelope, items[i]);
}

void TVexaAppMiddle::RouteItem(const TJSON& envelope, JsonValue& item) {
  const std::string type = ResponseType(item);
  if (type == "server" && !IsRequest) {
    // The command takes what it needs out of the item.
    if (OnServerCommand) OnServerCommand(item);
    item = nullptr;
    return;
  }
  std::string itemText = WriteJSON(item);
  item = nullptr;  // its text is made: the parsed form goes
  if (type == "childp" || type == "server") {
    if (IsRequest)
      PrintError("AppMid:- Wrong Request Protocol:- " + ConsoleQuote(itemText));
    else
      WriteToChild(StrToHex(itemText + ","));
  } else {
    Deliver(envelope, itemText, true, true);  // "jsonweb" and every other type
  }
}

std::string TVexaAppMiddle::EnvelopeAsItCame(TReply& reply) {
  if (!reply.decodedFromLine) return std::move(reply.envelopeText);
  // Made again from its parts; without the content once the body took it.
  std::string text = reply.envelopeWithoutContent.substr(0, reply.contentOffset);
  if (reply.payloadWhole) text += StrToHex(std::string_view(reply.payload).substr(1, reply.contentSize));
  text += reply.envelopeWithoutContent.substr(reply.contentOffset);
  return text;
}

}  // namespace vexa

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
      std::string reply = std::move(OutBuffer);
      OutBuffer.clear();
      replyDone = true;
      ParseAppOutput(reply);
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
          size_t e = k + 1;
          while (e < n && json[e] != '"' && json[e] != '\\') ++e;
          if (e >= n || json[e] != '"') return false;
          begin = k + 1;
          end = e;
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

void TVexaAppMiddle::ParseAppOutput(std::string& text) {
  TJSON envelope;
  const size_t p = text.find(kHeaderMarker);
  if (p == std::string::npos) {
    Deliver(envelope, text, false, false);
    return;
  }
  const size_t last = text.rfind('}');
  std::string noise, jsonText;
  // The decoded content as "[" + content + noise, room left for "{}]".
  std::string list;
  // Set when the content was decoded straight from the line: the envelope
  // was parsed without it ("content" : ""), kept in `bare`, where `at` is
  // the content's place.
  bool decoded = false;
  std::string bare;
  size_t at = 0;
  if (last == std::string::npos || last < p) {
    // A marker but no closing brace after it: all from the marker on is the
    // (broken) envelope text.
    noise = text.substr(0, p);
    jsonText = text.substr(p);
  } else {
    noise = text.substr(0, p) + text.substr(last + 1);
    const std::string_view env(text.data() + p, last - p + 1);
    size_t b = 0, e = 0;
    if (FindContent(env, b, e)) {
      bare.reserve(env.size() - (e - b));
      bare.append(env.substr(0, b)).append(env.substr(e));
      bool plain = false;
      try {
        const JsonValue probe = ParseJsonText(bare);
        plain = probe.is_object() && probe["content"].is_string() && probe["content"].get_ref<const std::string&>().empty();
      } catch (const std::exception&) {
        // Broken: the full text goes the usual way, with its error line.
      }
      if (plain && envelope.Parse(bare)) {
        try {
          list.reserve(1 + (e - b) / 2 + noise.size() + 3);
          list += '[';
          AppendHexToStr(env.substr(b, e - b), list);
          list += noise;
        } catch (const std::exception& ex) {
          PrintError("AppMid:- Error OrvantPHP App \"" + ConsoleQuote(AppName) + "\" Invalid Data " + ConsoleQuote(ex.what()));
          Deliver(envelope, std::string(env), false, false);
          return;
        }
        decoded = true;
        at = b;
        std::string().swap(text);  // the line is done with
      } else {
        envelope = TJSON();
      }
    }
    if (!decoded) jsonText = p == 0 && last + 1 == text.size() ? std::move(text) : text.substr(p, last - p + 1);
  }

  if (!decoded && !envelope.Parse(jsonText)) {
    Deliver(envelope, "Error Invalid JSON:- " + jsonText + " :Error Noise data:-" + noise, false, false);
    return;
  }
  size_t contentSize = 0;
  bool listWhole = true;  // `list` still holds the content (for the error text)
  try {
    if (!decoded) {
      const std::string hex = envelope.GetValue("content").ToString();
      list.reserve(1 + hex.size() / 2 + noise.size() + 3);
      list += '[';
      AppendHexToStr(hex, list);
      list += noise;
    }
    contentSize = list.size() - 1 - noise.size();
    if (list.size() == 1 || list.back() != ',') {
      list.erase(0, 1);
      listWhole = false;
      Deliver(envelope, list, true, false);
      return;
    }
    // An item list: every item followed by ","; the "{}" only closes the list.
    JsonValue items;
    list += "{}]";
    try {
      items = ParseJsonText(list);  // the nesting guard keeps a bracket flood off the stack
    } catch (const std::exception& e) {
      WriteLine("Error:- Invalid JSON " + ConsoleQuote(e.what()));  // the one line of a refused reply
      return;
    }
    for (size_t i = 0; i + 1 < items.size(); ++i) {
      JsonValue& item = items[i];
      const std::string rt = ResponseType(item);
      if (rt == "server" && !IsRequest) {
        // The command takes what it needs out of the item.
        if (OnServerCommand) OnServerCommand(item);
        item = nullptr;
        continue;
      }
      std::string t = WriteJSON(item);
      item = nullptr;  // its text is made: the parsed form goes
      if (rt == "childp" || rt == "server") {
        if (IsRequest)
          PrintError("AppMid:- Wrong Request Protocol:- " + ConsoleQuote(t));
        else
          WriteToChild(StrToHex(t + ","));
      } else {
        Deliver(envelope, t, true, true);  // "jsonweb" and every other type
      }
    }
  } catch (const std::exception& e) {
    PrintError("AppMid:- Error OrvantPHP App \"" + ConsoleQuote(AppName) + "\" Invalid Data " + ConsoleQuote(e.what()));
    if (decoded) {
      // The envelope text as it came, made again from its parts.
      jsonText = bare.substr(0, at);
      if (listWhole) jsonText += StrToHex(std::string_view(list).substr(1, contentSize));
      jsonText += bare.substr(at);
    }
    Deliver(envelope, jsonText, false, false);
  }
}

}  // namespace vexa

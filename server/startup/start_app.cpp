#include "server/startup/start_app.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "core/asso_array.hpp"
#include "core/globals.hpp"
#include "core/json.hpp"
#include "core/thread_manager.hpp"
#include "platform/process.hpp"
#include "server/http/shared_routines.hpp"
#include "server/startup/browser_launch.hpp"
#include "server/startup/command_line.hpp"
#include "server/startup/free_port.hpp"
#include "server/startup/path_routines.hpp"
#include "server/startup/signal_handler.hpp"

namespace vexa {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::function<void(const std::vector<TVexaBase*>&)> TStartApp::DisconnectClients;

namespace {

const char* const kSampleProject = "/vexadesk/vendor/orvantphp/orvantphp/res/proj1";
const char* const kDefaultPhp = "/vexadesk/bin/linux-x64/php/php";
// A settings reader that has not finished by then is stuck; start-up goes on without it.
constexpr auto kPharReadLimit = 60s;

// The text inside a PHP single-quoted literal: only backslash and quote are special.
std::string PhpSingleQuoted(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '\'') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// Every line of `text` followed by CR LF.
std::string AsCrlfLines(const std::string& text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out += line;
    out += "\r\n";
    if (end == std::string::npos) break;
    pos = end + 1;
  }
  return out;
}

// Reads the child's standard output and error to their ends, both at once so
// that neither pipe can fill up and stall the child. False when the limit
// passed first.
bool CollectOutput(platform::Process& proc, std::string& out, std::string& err,
                   std::chrono::steady_clock::duration limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  pollfd fds[2] = {{proc.StdoutFd(), POLLIN, 0}, {proc.StderrFd(), POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  int open = (fds[0].fd >= 0) + (fds[1].fd >= 0);
  char buf[32768];
  while (open > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    const int r = ::poll(fds, 2, static_cast<int>(left.count()));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        fds[i].fd = -1;
        --open;
      }
    }
  }
  return true;
}

// "secure" is on when it holds the number 1, or a text that spells it.
bool EqualsOne(const Variant& value) {
  if (value.IsText() || value.IsDouble() || value.IsInteger()) {
    try {
      return value.ToDouble() == 1.0;
    } catch (const std::exception&) {
      return false;
    }
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

TStartApp::TStartApp(Options options) : options_(std::move(options)) {
  try {
    GlobalLock = new std::recursive_mutex;
    Running = true;
    Settings = new TJSON;
    WsApps = new TAssoArray;
    GsApps = new TAssoArray;
    LastConId = 0;
    IsPhar = false;
    AppType.clear();
    PhpAppType = "start.php";
    PhpAppTypeIsDefault = true;
    LoadSettings();
    ApplyArgs();
  } catch (...) {
    FreeState();
    throw;
  }
}

TStartApp::~TStartApp() {
  // Only a browser the server waits for is ever held here; the default
  // browser runs detached and is the user's to close.
  {
    std::lock_guard<std::mutex> lock(browserMutex_);
    if (BrowserProcess && BrowserProcess->Running()) BrowserProcess->Kill();
  }
  BrowserProcess.reset();
  FreeState();
}

void TStartApp::FreeState() {
  delete WsApps;
  WsApps = nullptr;
  delete GsApps;
  GsApps = nullptr;
  delete Args;
  Args = nullptr;
  delete Settings;
  Settings = nullptr;
  delete GlobalLock;
  GlobalLock = nullptr;
}

// ---------------------------------------------------------------------------
// Settings, command line and project

void TStartApp::LoadSettings() {
  ExePath = GetServerBaseDir(options_.exeFile);

  Settings->Add("key", ExePath + "/vexadesk/conf/localhost.key");
  Settings->Add("ca", ExePath + "/vexadesk/conf/RootCA.pem");
  Settings->Add("cert", ExePath + "/vexadesk/conf/localhost.crt");
  Settings->Add("secure", Variant(int32_t(0)));
  Settings->Add("desk", Variant(true));
  Settings->Add("orvantphppath", ExePath + "/vexadesk/vendor/orvantphp/orvantphp");
  Settings->Add("php", ExePath + kDefaultPhp);

  // A missing or unreadable bundle settings file ends the start-up here.
  Settings->LoadFromFile(ExePath + "/vexadesk/conf/settings.json");

  Args = ParseCommandLineArgs(options_.args).release();
  if (Args->ContainsKey("--pfound")) {
    // Options given: a server, unless "--desk" asks for the window.
    if (!Args->ContainsKey("--desk")) Settings->Add("desk", Variant(false));
  } else if (!options_.args.empty()) {
    Args->SetValue("--proj", options_.args[0]);
  } else {
    const std::string local = GetCurrentDirNoSlash() + "/app.vexa";
    std::error_code ec;
    if (fs::is_regular_file(local, ec)) Args->SetValue("--proj", local);
  }
  if (!Args->ContainsKey("--proj")) Args->SetValue("--proj", ExePath + kSampleProject + "/app.vexa");

  const std::string proj = ReplaceAll(Args->GetValue("--proj").ToString(), "\\", "/");
  Args->SetValue("--proj", proj);
  auto info = GetPathInfo(proj);
  const std::string ext = info->GetValue("ext").ToString();
  // A bare file name has no folder part: its folder is the current one, not
  // the root of the file system.
  std::string dir = info->GetValue("dir").ToString();
  if (proj.find_first_of("/\\:") == std::string::npos) dir = GetCurrentDirNoSlash();

  ProjPath = proj;
  if (ext == "phar") {
    IsPhar = true;
  } else if (ext == "vexa") {
    std::error_code ec;
    ProjPath = fs::is_regular_file(proj, ec) ? dir : ExePath + kSampleProject;
  } else {
    // Raises when the registry cannot be read, or the extension's entry has no "openwith".
    TJSON registry;
    registry.LoadFromFile(ExePath + "/vexadesk/conf/regproj.json");
    if (registry.HasKey(ext)) {
      const std::string target = registry.GetValue(ext + ".openwith").ToString();
      std::error_code ec;
      ProjPath = fs::is_directory(target, ec) ? target : ExePath + "/" + target;
    }
  }
  ProjPath = RemoveTrailingSlash(ReplaceAll(ProjPath, "\\", "/"));
  ProjDir = IsPhar ? dir : ProjPath;
  WriteLine("Project Path:- " + ProjDir);
}

void TStartApp::ApplyArgs() {
  try {
    if (IsPhar) {
      Settings->Parse(ReadPharSettings());
    } else {
      Settings->LoadFromFile(ProjPath + "/app.vexa");
    }

    auto option = [](const char* name, std::string& value) {
      if (!Args->ContainsKey(name)) return false;
      value = Args->GetValue(name).ToString();
      return true;
    };
    std::string value;
    if (option("--type", value)) AppType = value;
    if (option("--phpapptype", value)) {
      PhpAppType = value;
      PhpAppTypeIsDefault = false;
    }
    for (const char* name : {"--key", "--ca", "--cert", "--php", "--host", "--port"}) {
      if (option(name, value)) Settings->Add(name + 2, value);
    }
    if (Args->ContainsKey("--secure")) Settings->Add("secure", Variant(int32_t(1)));
    if (option("--orvantphppath", value)) Settings->Add("orvantphppath", value);

    if (Settings->GetValue("php").ToString().empty()) Settings->Add("php", ExePath + kDefaultPhp);

    std::string fw = Settings->GetValue("orvantphppath").ToString();
    fw = ReplaceAll(fw, "$serverpath", ProjPath);
    Settings->Add("orvantphppath", fw);
    fw = ReplaceAll(fw, "$projpath", ProjDir);
    Settings->Add("orvantphppath", fw);
    fw = ReplaceAll(fw, "$exepath", ExePath);
    Settings->Add("orvantphppath", fw);
  } catch (const std::exception& e) {
    PrintError("Error in " + ProjPath + " Project Settings:- " + e.what());
  }
}

std::string TStartApp::PhpProgram() const {
  const std::string php = Settings->GetValue("php").ToString();
  return php.empty() ? ExePath + kDefaultPhp : php;
}

std::string TStartApp::ReadPharSettings() {
  std::string result = "{ }";
  try {
    platform::SpawnOptions spawn;
    spawn.program = PhpProgram();
    spawn.args = {"-r", "echo file_get_contents('phar://" + PhpSingleQuoted(ProjPath + "/app.vexa") + "');"};
    spawn.env = platform::CurrentEnvironment();
    spawn.env.push_back("VEXA_EXECPATH=" + ExePath);
    spawn.env.push_back("VEXA_PROJPATH=" + ProjPath);
    spawn.env.push_back("VEXA_PROJDIR=" + ProjDir);
    spawn.pipeStdin = false;
    auto proc = platform::Process::Spawn(spawn);
    std::string out, err;
    if (!CollectOutput(*proc, out, err, kPharReadLimit)) {
      proc->Kill();
      proc->Wait();
      throw std::runtime_error("the PHP interpreter did not finish in time");
    }
    if (proc->Wait() == 0) {
      result = AsCrlfLines(out);
    } else {
      WriteLine("Error Sapp Settings:- " + AsCrlfLines(err));
    }
  } catch (const std::exception& e) {
    PrintError("Error in " + ProjPath + " Project Read In Phar Settings " + e.what());
  }
  return result;
}

// ---------------------------------------------------------------------------
// Run sequence

void TStartApp::Run() {
  std::unique_ptr<TThreadManager> threads;
  auto release = [&] {
    SignalHandler.reset();
    WebServer.reset();
    threads.reset();
  };
  try {
    SignalHandler = std::make_unique<TSignalHandler>([this](TSignalHandler* sender) { OnSignal(sender); });
    SignalHandler->Install();
    StartServer();

    if (startFailed_) {
      // Nothing listens: no browser is opened on the URL (it may reach
      // another program's server), and the shutdown follows at once.
      StopRunning();
    } else {
      threads = std::make_unique<TThreadManager>();
      try {
        threads->AddThread("webbrowser", [this] { RunBrowser(); });
        threads->AddThread("mainloop", [this] { MainLoop(); });
        threads->RunAll();
      } catch (const std::exception& e) {
        PrintError(std::string("TM Error:-") + e.what());
        StopRunning();  // a worker that did start must not keep the shutdown waiting
      }
    }

    WriteLine("Clean Exit");
    StopClients();
    std::this_thread::sleep_for(400ms);
    WriteLine("Bye Bye");
    WriteLine("Server Stopping");
    WebServer->Stop();
    WriteLine("Server Stopped");
  } catch (...) {
    release();
    throw;
  }
  release();
}

void TStartApp::MainLoop() {
  std::unique_lock<std::mutex> lock(wakeMutex_);
  while (Running.load()) wake_.wait_for(lock, 1000ms);
}

void TStartApp::StopRunning() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    Running = false;
  }
  wake_.notify_all();
}

void TStartApp::OnSignal(TSignalHandler* /*sender*/) { StopRunning(); }

void TStartApp::StartServer() {
  // Not guarded: a missing or unusable "port"/"host" ends the start-up.
  if (Settings->GetValue("port").ToInt64() == 0) {
    Settings->Add("port", Variant(int32_t(8000)));
    if (Settings->GetValue("desk").ToBool()) {
      const int port = FindFreePort(Settings->GetValue("host").ToString(), Settings->GetValue("startport").ToInt32(),
                                    Settings->GetValue("endport").ToInt32());
      Settings->Add("port", Variant(int32_t(port)));
    }
  }
  if (!options_.listener) throw std::logic_error("no listener factory");
  WebServer = options_.listener(Settings->GetValue("port").ToInt32(), Settings->GetValue("host").ToString());

  try {
    const std::string scheme = EqualsOne(Settings->GetValue("secure")) ? "https://" : "http://";
    const std::string url =
        scheme + Settings->GetValue("host").ToString() + ":" + Settings->GetValue("port").ToString();
    Settings->Add("hosturl", url);
    WriteLine("Web server running on port " + url);
    WebServer->SetSSLFiles(Settings->GetValue("cert").ToString(), Settings->GetValue("key").ToString(),
                           Settings->GetValue("ca").ToString());
    WebServer->Start();
  } catch (const std::exception& e) {
    startFailed_ = true;
    WriteLine(std::string("Error Start Server Failed:- ") + e.what());
  }
}

void TStartApp::StopClients() {
  if (!DisconnectClients || WsApps == nullptr) return;
  try {
    // Connection threads remove their entries as their connections end; the
    // global lock keeps the registry whole until every one was asked.
    std::lock_guard<std::recursive_mutex> lock(*GlobalLock);
    std::vector<TVexaBase*> clients;
    for (const auto& entry : *WsApps) {
      if (entry.second.IsObject && entry.second.Obj != nullptr) clients.push_back(entry.second.Obj);
    }
    DisconnectClients(clients);
  } catch (const std::exception& e) {
    PrintError(std::string("StartApp Error Stop Process:- ") + e.what());
  }
}

// ---------------------------------------------------------------------------
// Browser launch

void TStartApp::RunBrowser() {
  try {
    if (!Settings->GetValue("desk").ToBool()) return;
    const std::string url = Settings->GetValue("hosturl").ToString();
    const BrowserLaunch plan = PlanBrowserLaunch(*Settings, url);

    platform::SpawnOptions spawn;
    spawn.program = plan.program;
    spawn.args = plan.args;
    spawn.env = BrowserEnvironment(url);
    spawn.pipeStdin = spawn.pipeStdout = spawn.pipeStderr = false;

    if (!plan.wait) {
      // The launcher (xdg-open) may stay as the parent of the user's own
      // browser: it runs in a session of its own and is never signalled.
      platform::SpawnDetached(spawn);
      return;
    }

    // Its error messages (no display, say) belong on the server's console.
    spawn.inheritStderr = true;
    auto proc = platform::Process::Spawn(spawn);
    platform::Process* child = proc.get();
    {
      std::lock_guard<std::mutex> lock(browserMutex_);
      BrowserProcess = std::move(proc);
    }
    const int code = child->Wait();
    if (code != 0) WriteLine("Browser program ended with exit code " + std::to_string(code));
    StopRunning();
  } catch (const std::exception& e) {
    PrintError(std::string("RunBrowser:- ") + e.what());
  }
}

}  // namespace vexa

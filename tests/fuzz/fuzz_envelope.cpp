// The reply envelope fed arbitrary output lines: a stand-in application
// (cat of the input) writes the bytes on its standard output, and the bridge
// reads, frames and unpacks them exactly as it does a PHP process's replies.
// The first input byte picks the road (WebSocket or page). Every input must
// end with one exit event, and every item handed on must be a JSON text.
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "core/json.hpp"
#include "fuzz_support.hpp"
#include "server/bridge/vexa_app_middle.hpp"

namespace {

// The file the stand-in application prints; removed at exit.
struct InputFileHolder {
  std::string path;
  InputFileHolder() {
    char name[] = "/tmp/vexa-fuzz-envelope-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    path = name;
  }
  ~InputFileHolder() {
    std::error_code ec;
    std::filesystem::remove(path, ec);
  }
};

const std::string& InputFile() {
  static InputFileHolder holder;
  return holder.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  if (size == 0) return 0;
  const bool isWs = data[0] & 1;
  {
    std::ofstream out(InputFile(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  std::atomic<int> exits{0};
  std::mutex lock;
  std::string badItem;
  {
    vexa::TVexaAppMiddle app("fuzzapp", nullptr, isWs);
    app.WaitForExit = true;
    app.OnData = [&](const vexa::TJSON& envelope, const std::string& text, bool isJson, bool isItem) {
      (void)envelope.GetJSON();
      if (isJson && isItem && !vexa::fuzz::IsStructurallyJSON(text)) {
        std::lock_guard<std::mutex> g(lock);
        badItem = text;
      }
    };
    app.OnError = [](const std::string&) {};
    app.OnExit = [&](const std::string&) { ++exits; };
    app.OnServerCommand = [](const vexa::JsonValue& item) { (void)vexa::WriteJSON(item); };
    app.StartApp("/bin/cat", {InputFile()}, {});
  }
  FUZZ_CHECK(exits == 1, "exit event fired " + std::to_string(exits.load()) + " times");
  FUZZ_CHECK(badItem.empty(), "item is not JSON: " + badItem);
  return 0;
}

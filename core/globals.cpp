#include "core/globals.hpp"

#include <unistd.h>

#include <cerrno>

namespace vexa {

TStartApp* App = nullptr;
TJSON* Settings = nullptr;
TAssoArray* Args = nullptr;
std::string ExePath;
std::string ProjPath;
std::string ProjDir;
bool IsPhar = false;
std::string AppType;
std::string PhpAppType = "start.php";
bool PhpAppTypeIsDefault = true;
std::atomic<int32_t> LastConId{0};
TAssoArray* WsApps = nullptr;
TAssoArray* GsApps = nullptr;
std::recursive_mutex* GlobalLock = nullptr;

int32_t NextConId() { return LastConId.fetch_add(1) + 1; }

std::string ConsoleQuote(std::string_view text) {
  if (text.size() <= kConsoleQuoteMax) return std::string(text);
  size_t n = kConsoleQuoteMax;
  // Step back over continuation bytes to the start of the cut sequence.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
  return std::string(text.substr(0, n)) + "...";
}

void WriteLine(const std::string& line) {
  std::string out;
  out.reserve(line.size() + 1);
  out += line;
  out.push_back('\n');
  // One write call per line (retried only for the rest of a partial write),
  // so lines written by different threads never mix.
  const char* p = out.data();
  size_t left = out.size();
  while (left > 0) {
    const ssize_t n = ::write(STDOUT_FILENO, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace vexa

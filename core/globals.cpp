#include "core/globals.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "core/utf8_sequence.hpp"

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

namespace {

// How the character (or stray byte) at p stands in a console line: its
// length in the text, and its escaped form when it must not stand as it is.
struct QuotedPiece {
  size_t length = 1;
  std::string escaped;
};

QuotedPiece QuotePiece(const unsigned char* p, size_t n) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  auto escape = [](const unsigned char* bytes, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += {'\\', 'x', kDigits[bytes[i] >> 4], kDigits[bytes[i] & 0xF]};
    return out;
  };
  QuotedPiece piece;
  if (p[0] < 0x20 || p[0] == 0x7F) {
    piece.escaped = escape(p, 1);
  } else if (p[0] >= 0x80) {
    piece.length = Utf8SequenceLength(p, n);
    if (piece.length == 0) {
      piece.length = 1;  // not UTF-8
      piece.escaped = escape(p, 1);
    } else if (p[0] == 0xC2 && p[1] < 0xA0) {
      piece.escaped = escape(p, 2);  // a C1 control character
    }
  }
  return piece;
}

}  // namespace

std::string ConsoleQuote(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::string out;
  out.reserve(std::min(text.size(), kConsoleQuoteMax) + 3);
  for (size_t i = 0; i < text.size();) {
    if (p[i] >= 0x20 && p[i] < 0x7F) {  // the common case: printable ASCII
      if (out.size() == kConsoleQuoteMax) return out + "...";
      out.push_back(text[i++]);
      continue;
    }
    const QuotedPiece piece = QuotePiece(p + i, text.size() - i);
    const size_t size = piece.escaped.empty() ? piece.length : piece.escaped.size();
    if (out.size() + size > kConsoleQuoteMax) return out + "...";
    if (piece.escaped.empty())
      out.append(text.substr(i, piece.length));
    else
      out += piece.escaped;
    i += piece.length;
  }
  return out;
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

#include "server/websocket/utf8_text.hpp"

#include <cstdint>
#include <cstring>

#include "core/utf8_sequence.hpp"

namespace vexa {
namespace {

// Length of the maximal subpart of an ill-formed sequence at p: the lead byte
// and as many following bytes as could still have continued it (at least 1).
size_t InvalidLength(const unsigned char* p, size_t n) {
  const unsigned char b0 = p[0];
  size_t want = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    want = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    want = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    want = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 1;
  }
  size_t i = 1;
  while (i < want && i < n) {
    const unsigned char l = i == 1 ? lo : 0x80;
    const unsigned char h = i == 1 ? hi : 0xBF;
    if (p[i] < l || p[i] > h) break;
    ++i;
  }
  return i;
}

// Index of the first byte that does not start a well-formed sequence, or n.
size_t FirstInvalid(const unsigned char* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    // Fast path over ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    const size_t len = Utf8SequenceLength(p + i, n - i);
    if (len == 0) return i;
    i += len;
  }
  return n;
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";

}  // namespace

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  return FirstInvalid(p, text.size()) == text.size();
}

size_t SanitizedSize(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t size = 0;
  size_t i = 0;
  for (size_t bad = FirstInvalid(p, n); i < n; bad = i + FirstInvalid(p + i, n - i)) {
    size += bad - i;
    if (bad == n) break;
    size += 3;
    i = bad + InvalidLength(p + bad, n - bad);
  }
  return size;
}

std::string SanitizeUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  size_t bad = FirstInvalid(p, n);
  if (bad == n) return std::string(text);
  std::string out;
  // Exactly what it will hold: a large text is not grown by doubling.
  out.reserve(SanitizedSize(text));
  size_t i = 0;
  while (i < n) {
    out.append(text.data() + i, bad - i);
    if (bad == n) break;
    out.append(kReplacement, 3);
    i = bad + InvalidLength(p + bad, n - bad);
    bad = i + FirstInvalid(p + i, n - i);
  }
  return out;
}

}  // namespace vexa

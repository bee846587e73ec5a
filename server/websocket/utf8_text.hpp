#pragma once
// Lenient UTF-8: texts inside the server are UTF-8 byte strings, and whatever
// crosses the WebSocket wire is turned into well-formed UTF-8 without ever
// failing. Each invalid sequence becomes U+FFFD (EF BF BD).

#include <cstddef>
#include <string>
#include <string_view>

namespace vexa {

// True when text is well-formed UTF-8 (no overlongs, no surrogates, nothing
// above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// The text unchanged when it is well-formed; otherwise a copy in which every
// maximal invalid subpart is replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view text);
// The size SanitizeUtf8 gives `text`.
size_t SanitizedSize(std::string_view text);

}  // namespace vexa

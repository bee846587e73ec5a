#pragma once
// The well-formed UTF-8 sequences of the Unicode standard's table: no
// overlongs, no surrogates, nothing above U+10FFFF.

#include <cstddef>

namespace vexa {

// Length of the well-formed sequence starting at p (at most n > 0 bytes
// available), or 0 when none starts there.
size_t Utf8SequenceLength(const unsigned char* p, size_t n);

}  // namespace vexa

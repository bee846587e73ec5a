#pragma once
// TChunkChecker: follows the framing of a chunked request body byte by byte,
// as the bytes arrive, and says at once when it is broken: a line that ends
// in a bare LF or a CR without LF, a chunk size that is not hex or does not
// fit 64 bits, a chunk whose data is not followed by CRLF, an overlong size
// line or trailer. The body parser alone would wait for a CRLF that never
// comes. Bytes after the end of the body (a next request) are not looked at.

#include <cstddef>
#include <cstdint>

namespace vexa {

class TChunkChecker {
 public:
  static constexpr size_t kMaxSizeLine = 4096;   // chunk size with its extensions
  static constexpr size_t kMaxTrailer = 65536;   // all trailer lines together

  // Looks at the next n bytes of the body. False once the framing is broken
  // (and from then on).
  bool Feed(const char* bytes, size_t n);
  bool Broken() const { return state_ == State::Broken; }
  // The last chunk and the trailer have been seen.
  bool Done() const { return state_ == State::Done; }

 private:
  enum class State {
    SizeFirst, Size, Extension, SizeLF, Data, DataCR, DataLF,
    TrailerFirst, TrailerLine, TrailerLF, EndLF, Done, Broken
  };
  bool Step(char c);

  State state_ = State::SizeFirst;
  uint64_t size_ = 0;
  uint64_t left_ = 0;
  size_t lineBytes_ = 0;
  size_t trailerBytes_ = 0;
};

}  // namespace vexa

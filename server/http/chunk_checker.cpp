#include "server/http/chunk_checker.hpp"

#include <algorithm>

#include "server/http/shared_routines.hpp"

namespace vexa {

namespace {

// A byte that may stand in a chunk extension or a trailer line.
bool IsLineByte(char c) {
  const unsigned char u = static_cast<unsigned char>(c);
  return u == '\t' || (u >= 0x20 && u != 0x7f);
}

}  // namespace

bool TChunkChecker::Feed(const char* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (state_ == State::Done) return true;
    if (state_ == State::Broken) return false;
    if (state_ == State::Data) {
      // Chunk data is not looked at: skip it whole.
      const uint64_t skip = std::min<uint64_t>(left_, n - i);
      left_ -= skip;
      i += static_cast<size_t>(skip) - 1;
      if (left_ == 0) state_ = State::DataCR;
      continue;
    }
    if (!Step(bytes[i])) {
      state_ = State::Broken;
      return false;
    }
  }
  return state_ != State::Broken;
}

bool TChunkChecker::Step(char c) {
  switch (state_) {
    case State::SizeFirst:
    case State::Size: {
      if (++lineBytes_ > kMaxSizeLine) return false;
      const int d = HexDigitValue(c);
      if (d >= 0) {
        if (size_ > (UINT64_MAX >> 4)) return false;
        size_ = size_ * 16 + static_cast<unsigned>(d);
        state_ = State::Size;
        return true;
      }
      if (state_ == State::SizeFirst) return false;  // at least one hex digit
      if (c == '\r') {
        state_ = State::SizeLF;
        return true;
      }
      if (c == ';' || c == ' ' || c == '\t') {
        state_ = State::Extension;
        return true;
      }
      return false;
    }
    case State::Extension:
      if (++lineBytes_ > kMaxSizeLine) return false;
      if (c == '\r') {
        state_ = State::SizeLF;
        return true;
      }
      return IsLineByte(c);
    case State::SizeLF:
      if (c != '\n') return false;
      lineBytes_ = 0;
      if (size_ == 0) {
        state_ = State::TrailerFirst;
      } else {
        left_ = size_;
        state_ = State::Data;
      }
      size_ = 0;
      return true;
    case State::DataCR:
      if (c != '\r') return false;
      state_ = State::DataLF;
      return true;
    case State::DataLF:
      if (c != '\n') return false;
      state_ = State::SizeFirst;
      return true;
    case State::TrailerFirst:
    case State::TrailerLine:
      if (++trailerBytes_ > kMaxTrailer) return false;
      if (c == '\r') {
        state_ = state_ == State::TrailerFirst ? State::EndLF : State::TrailerLF;
        return true;
      }
      state_ = State::TrailerLine;
      return IsLineByte(c);
    case State::TrailerLF:
      if (c != '\n') return false;
      state_ = State::TrailerFirst;
      return true;
    case State::EndLF:
      if (c != '\n') return false;
      state_ = State::Done;
      return true;
    case State::Data:
    case State::Done:
    case State::Broken:
      break;
  }
  return false;
}

}  // namespace vexa

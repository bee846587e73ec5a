#pragma once
// Shared by every fuzz target: the entry point that both libFuzzer and the
// corpus replay program call, and the quieting of the console, since the
// parsers report bad input as console lines and a fuzzer feeds them millions.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace vexa::fuzz {

// Points standard output at /dev/null once per process (standard error, where
// the fuzzer and the sanitizers report, stays).
void QuietStdout();

inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// Splits the input at the first occurrence of sep: the part before and after.
// No separator: everything is the first part.
inline std::pair<std::string_view, std::string_view> SplitOnce(std::string_view in, std::string_view sep) {
  const size_t at = in.find(sep);
  if (at == std::string_view::npos) return {in, {}};
  return {in.substr(0, at), in.substr(at + sep.size())};
}

// Whether text is one well-formed JSON value. Bytes from 0x80 up are read as
// plain letters: the server writes text from clients unchanged, so a
// non-UTF-8 byte in a header or form value reaches the document as it came.
bool IsStructurallyJSON(std::string text);

// A failed property check: aborts so that both the fuzzer and the replay
// report the input.
[[noreturn]] void Fail(const std::string& what);

}  // namespace vexa::fuzz

#define FUZZ_CHECK(cond, what) \
  do {                         \
    if (!(cond)) ::vexa::fuzz::Fail(what); \
  } while (0)

// Hex decoding of arbitrary text, and the round trip of arbitrary bytes.
#include <stdexcept>
#include <string>

#include "fuzz_support.hpp"
#include "server/http/shared_routines.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  const std::string_view in = vexa::fuzz::AsText(data, size);
  try {
    const std::string decoded = vexa::HexToStr(in);
    FUZZ_CHECK(decoded.size() == in.size() / 2, "decoded length is not half the digits");
  } catch (const std::exception&) {
    // not hexadecimal: an error the caller reports
  }
  const std::string hex = vexa::StrToHex(in);
  FUZZ_CHECK(hex.size() == 2 * in.size(), "encoded length is not twice the bytes");
  FUZZ_CHECK(vexa::HexToStr(hex) == in, "hex round trip lost bytes");
  return 0;
}

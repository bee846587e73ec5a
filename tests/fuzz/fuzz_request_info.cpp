// The request description and the cookie document built from arbitrary header
// lines. Both must always come out as hex of a JSON text that parses again,
// or (the description only) as the empty text.
#include <string>

#include "core/globals.hpp"
#include "core/json.hpp"
#include "fuzz_support.hpp"
#include "request_bytes.hpp"
#include "server/http/request_info.hpp"
#include "server/http/shared_routines.hpp"

namespace {

void CheckHexJSON(const std::string& hex, const char* what) {
  if (hex.empty()) return;
  std::string text;
  try {
    text = vexa::HexToStr(hex);
  } catch (const std::exception&) {
    vexa::fuzz::Fail(std::string(what) + " is not hex");
  }
  FUZZ_CHECK(vexa::fuzz::IsStructurallyJSON(text), std::string(what) + " is not JSON: " + text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  vexa::ProjPath = "/srv/proj";
  // The fuzz bytes are the header lines; the request line is fixed so that the
  // fuzzer spends its time on the headers (a few inputs carry their own).
  std::string_view in = vexa::fuzz::AsText(data, size);
  std::string raw;
  if (in.substr(0, 4) == "GET " || in.substr(0, 5) == "POST ") {
    raw.assign(in);
  } else {
    raw = "GET /page.html?a=1 HTTP/1.1\r\n";
    raw.append(in);
  }
  auto request = vexa::fuzz::ParseRequestBytes(raw);
  if (!request) return 0;
  const auto& header = request->base();
  (void)vexa::RequestPath(header);
  (void)vexa::RequestQuery(header);
  (void)vexa::RequestContentType(header);
  for (bool secure : {false, true}) CheckHexJSON(vexa::BuildServerInfo(header, "127.0.0.1", secure), "idata");
  try {
    CheckHexJSON(vexa::CookiesToJSON(header), "bcookies");
    vexa::TJSON withMembers;
    withMembers.Add("wconn", vexa::Variant(std::string("n")));
    CheckHexJSON(vexa::CookiesToJSON(header, &withMembers), "bcookies");
  } catch (const std::exception&) {
    // a cookie error reaches the caller, which reports it
  }
  return 0;
}

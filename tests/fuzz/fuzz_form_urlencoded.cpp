// The url-encoded form split and the form object built from it.
#include <string>

#include "core/json.hpp"
#include "fuzz_support.hpp"
#include "request_bytes.hpp"
#include "server/http/form_data.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  const std::string_view text = vexa::fuzz::AsText(data, size);
  const auto items = vexa::SplitFormText(text);
  size_t chars = 0;
  for (const auto& item : items) chars += item.size();
  FUZZ_CHECK(chars <= text.size(), "items hold more than the text");
  FUZZ_CHECK(items.size() <= text.size() + 1, "more items than bytes");

  std::string raw =
      "POST /form.html HTTP/1.1\r\nHost: h\r\nContent-Type: application/x-www-form-urlencoded\r\n"
      "Content-Length: " + std::to_string(text.size()) + "\r\n\r\n";
  raw.append(text);
  auto request = vexa::fuzz::ParseRequestBytes(raw);
  if (!request) return 0;
  vexa::TJSON form;
  vexa::ParseFormData(request->base(), request->body(), form);
  FUZZ_CHECK(vexa::fuzz::IsStructurallyJSON(form.GetJSON()), "form object is not JSON");
  return 0;
}

// The multipart parser over arbitrary bodies. The first line of the input is
// the content type (and so the boundary). Whatever the client sends, files may
// only appear inside the project's cache folder.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/globals.hpp"
#include "core/json.hpp"
#include "fuzz_support.hpp"
#include "request_bytes.hpp"
#include "server/http/form_data.hpp"

namespace fs = std::filesystem;

namespace {

// A private project folder with its cache folder, removed at exit.
struct Sandbox {
  fs::path root;
  Sandbox() {
    char name[] = "/tmp/vexa-fuzz-multipart-XXXXXX";
    root = ::mkdtemp(name);
    fs::create_directories(root / "proj" / "cache");
  }
  ~Sandbox() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

Sandbox& Box() {
  static Sandbox box;
  return box;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  Sandbox& box = Box();
  vexa::ProjDir = (box.root / "proj").string();
  vexa::ProjPath = vexa::ProjDir;

  auto [contentType, body] = vexa::fuzz::SplitOnce(vexa::fuzz::AsText(data, size), "\n");
  const std::string type(contentType);
  const std::string boundary = vexa::GetBoundary(type);
  vexa::TJSON direct;
  vexa::ParseMultipartFormData(body, boundary, direct);

  // The same through the request road when the content type makes a valid header.
  std::string raw = "POST /up.html HTTP/1.1\r\nHost: h\r\nContent-Type: " + type +
                    "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  raw.append(body);
  if (auto request = vexa::fuzz::ParseRequestBytes(raw)) {
    vexa::TJSON form;
    vexa::ParseFormData(request->base(), request->body(), form);
  }

  // Nothing but the project folder in the sandbox, nothing but the cache
  // folder in the project folder, and no folder inside the cache.
  for (const auto& e : fs::directory_iterator(box.root))
    FUZZ_CHECK(e.path().filename() == "proj", "written outside the project: " + e.path().string());
  for (const auto& e : fs::directory_iterator(box.root / "proj"))
    FUZZ_CHECK(e.path().filename() == "cache", "written outside the cache: " + e.path().string());
  for (const auto& e : fs::directory_iterator(box.root / "proj" / "cache")) {
    FUZZ_CHECK(!e.is_directory(), "folder made inside the cache: " + e.path().string());
    std::error_code ec;
    fs::remove(e.path(), ec);
  }
  return 0;
}

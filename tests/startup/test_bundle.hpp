#pragma once
// A throw-away bundle folder for the start-up tests: conf/settings.json,
// conf/regproj.json and the sample project, below a fresh temporary root.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace vexa::test {

class TestBundle {
 public:
  TestBundle() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vexa-startup-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    root = std::filesystem::path(tmpl).string();
    Write("vexadesk/conf/settings.json",
          R"({ "host": "127.0.0.1", "port": 0, "startport": 8000, "endport": 8100, "desk": true, "browser": "", "secure": 0 })");
    Write("vexadesk/conf/regproj.json", R"({ "vexa": { "openwith": "vexadesk/vendor/orvantphp/orvantphp/res/proj1" } })");
    Write(SampleRel() + "/app.vexa", R"({ "name": "proj1" })");
  }
  ~TestBundle() {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
  TestBundle(const TestBundle&) = delete;
  TestBundle& operator=(const TestBundle&) = delete;

  static std::string SampleRel() { return "vexadesk/vendor/orvantphp/orvantphp/res/proj1"; }
  std::string Sample() const { return root + "/" + SampleRel(); }
  std::string Exe() const { return root + "/vexadesk/bin/vexaserver"; }
  std::string Path(const std::string& rel) const { return root + "/" + rel; }

  std::string Write(const std::string& rel, const std::string& text) const {
    const std::filesystem::path p = Path(rel);
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p.string();
  }
  void Remove(const std::string& rel) const { std::filesystem::remove(Path(rel)); }

  std::string root;
};

}  // namespace vexa::test

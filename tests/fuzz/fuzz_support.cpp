#include "fuzz_support.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace vexa::fuzz {

void QuietStdout() {
  static const bool done = [] {
    std::fflush(stdout);
    const int fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::dup2(fd, STDOUT_FILENO);
      ::close(fd);
    }
    return true;
  }();
  (void)done;
}

bool IsStructurallyJSON(std::string text) {
  for (char& c : text)
    if (static_cast<unsigned char>(c) >= 0x80) c = 'x';
  return nlohmann::json::accept(text);
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz property failed: %s\n", what.c_str());
  std::abort();
}

}  // namespace vexa::fuzz

// The command-line parser fed arbitrary words (the input split at NUL bytes,
// as a program's argument vector is).
#include <string>
#include <vector>

#include "core/asso_array.hpp"
#include "fuzz_support.hpp"
#include "server/startup/command_line.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vexa::fuzz::QuietStdout();
  std::vector<std::string> words;
  std::string_view in = vexa::fuzz::AsText(data, size);
  while (!in.empty()) {
    auto [word, rest] = vexa::fuzz::SplitOnce(in, std::string_view("\0", 1));
    words.emplace_back(word);
    if (rest.data() == nullptr) break;
    in = rest;
  }
  auto args = vexa::ParseCommandLineArgs(words);
  FUZZ_CHECK(args != nullptr, "no option list");
  FUZZ_CHECK(args->Count() <= words.size() + 1, "more options than words");
  for (const auto& w : words) {
    if (args->ContainsKey(w)) (void)args->GetValue(w);
  }
  return 0;
}

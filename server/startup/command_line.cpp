#include "server/startup/command_line.hpp"

namespace vexa {

std::unique_ptr<TAssoArray> ParseCommandLineArgs(const std::vector<std::string>& args) {
  auto result = std::make_unique<TAssoArray>();
  bool pairFound = false;
  size_t i = 0;
  while (i < args.size()) {
    const std::string& word = args[i];
    if (!word.empty() && word[0] == '-' && i + 1 < args.size()) {
      result->SetValue(word, args[i + 1]);
      pairFound = true;
      i += 2;
    } else {
      result->SetValue(word, std::string());
      i += 1;
    }
  }
  if (pairFound) result->SetValue("--pfound", std::string());
  return result;
}

}  // namespace vexa

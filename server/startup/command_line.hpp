#pragma once
// The server's command line as option -> value pairs.

#include <memory>
#include <string>
#include <vector>

#include "core/asso_array.hpp"

namespace vexa {

// `args` are the words after the program name. A word that begins with "-"
// and is not the last takes the next word as its value, whatever that word
// is; any other word is stored with the empty text. When at least one pair
// was seen, the marker "--pfound" (empty text) is added. A later duplicate
// replaces an earlier one; names are case-sensitive.
std::unique_ptr<TAssoArray> ParseCommandLineArgs(const std::vector<std::string>& args);

}  // namespace vexa

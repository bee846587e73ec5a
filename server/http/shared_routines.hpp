#pragma once
// The small routines that the whole server shares: the error printer, the hex
// text coding with which every JSON document travels to and from PHP, and the
// MIME table of the static file road.

#include <string>
#include <string_view>

namespace vexa {

// Writes "Error: " + message as one whole line to standard output.
void PrintError(const std::string& message);

// Every byte as two upper-case hexadecimal digits.
std::string StrToHex(std::string_view text);
// The inverse of StrToHex; digits in either case, a last unpaired digit is
// ignored, a pair that is not hexadecimal raises.
std::string HexToStr(std::string_view hex);

// MIME type for an extension given without its dot (lower-cased first);
// "application/octet-stream" for anything not in the table.
std::string GetMimeType(const std::string& extension);

}  // namespace vexa

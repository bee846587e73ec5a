#pragma once
// The small routines that the whole server shares: the error printer, the hex
// text coding with which every JSON document travels to and from PHP, the
// MIME table of the static file road, and the byte-level helpers of header
// and framing parsers.

#include <string>
#include <string_view>

namespace vexa {

// Writes "Error: " + message as one whole line to standard output.
void PrintError(const std::string& message);

// Every byte as two upper-case hexadecimal digits.
std::string StrToHex(std::string_view text);
// StrToHex(text) written at `out`, which has room for 2 * text.size() bytes.
void WriteHex(std::string_view text, char* out);
// The inverse of StrToHex; digits in either case, a last unpaired digit is
// ignored, a pair that is not hexadecimal raises.
std::string HexToStr(std::string_view hex);
// HexToStr(hex) appended to `out`.
void AppendHexToStr(std::string_view hex, std::string& out);
// The value of one hexadecimal digit in either case; -1 for any other byte.
int HexDigitValue(char c);

// The text with its ASCII letters in lower case.
std::string LowerCase(std::string_view text);

// The text without the spaces and tabs at either end (the optional white
// space around HTTP field values and list elements).
std::string_view TrimSpaces(std::string_view text);

// MIME type for an extension given without its dot (lower-cased first);
// "application/octet-stream" for anything not in the table.
std::string GetMimeType(const std::string& extension);

}  // namespace vexa

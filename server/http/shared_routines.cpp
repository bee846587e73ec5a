#include "server/http/shared_routines.hpp"

#include <stdexcept>

#include "core/globals.hpp"

namespace vexa {

void PrintError(const std::string& message) { WriteLine("Error: " + message); }

void WriteHex(std::string_view text, char* out) {
  static constexpr char digits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    out[2 * i] = digits[b >> 4];
    out[2 * i + 1] = digits[b & 0x0F];
  }
}

std::string StrToHex(std::string_view text) {
  std::string out;
  out.resize(text.size() * 2);
  WriteHex(text, out.data());
  return out;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string_view TrimSpaces(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::string HexToStr(std::string_view hex) {
  std::string out;
  AppendHexToStr(hex, out);
  return out;
}

void AppendHexToStr(std::string_view hex, std::string& out) {
  const size_t at = out.size();
  const size_t n = hex.size() / 2;
  out.resize(at + n);
  char* o = out.data() + at;
  for (size_t i = 0; i < n; ++i) {
    const int hi = HexDigitValue(hex[2 * i]);
    const int lo = HexDigitValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) {
      out.resize(at);
      throw std::runtime_error("'" + std::string(hex.substr(2 * i, 2)) + "' is not a valid hexadecimal value");
    }
    o[i] = static_cast<char>((hi << 4) | lo);
  }
}

std::string GetMimeType(const std::string& extension) {
  const std::string ext = LowerCase(extension);
  static const struct { const char* ext; const char* type; } table[] = {
      {"png", "image/png"},       {"jpg", "image/jpeg"},        {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},       {"bmp", "image/bmp"},         {"svg", "image/svg+xml"},
      {"mp4", "video/mp4"},       {"avi", "video/x-msvideo"},   {"mov", "video/quicktime"},
      {"mp3", "audio/mpeg"},      {"wav", "audio/wav"},         {"pdf", "application/pdf"},
      {"txt", "text/plain"},      {"css", "text/css"},          {"js", "application/javascript"},
      {"html", "text/html"},      {"htm", "text/html"},
  };
  for (const auto& row : table)
    if (ext == row.ext) return row.type;
  return "application/octet-stream";
}

}  // namespace vexa

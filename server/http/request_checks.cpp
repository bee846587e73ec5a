#include "server/http/request_checks.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cctype>

#include "server/http/shared_routines.hpp"

namespace vexa {

namespace {

// Characters of a host name or IPv4 literal in a Host field (unreserved,
// sub-delims and percent escapes).
bool IsRegNameChar(char c) {
  if (std::isalnum(static_cast<unsigned char>(c))) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case '%': case '!': case '$': case '&':
    case '\'': case '(': case ')': case '*': case '+': case ',': case ';': case '=':
      return true;
    default:
      return false;
  }
}

std::string PercentDecoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = HexDigitValue(s[i + 1]), lo = HexDigitValue(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    out += s[i];
  }
  return out;
}

bool HasDotDotIn(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    if (path.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::optional<HostAndPort> ParseHostAndPort(std::string_view text) {
  HostAndPort out;
  std::string_view rest;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || close < 2) return std::nullopt;
    const std::string inner(text.substr(1, close - 1));
    in6_addr a6{};
    if (::inet_pton(AF_INET6, inner.c_str(), &a6) != 1) return std::nullopt;
    out.host = "[" + LowerCase(inner) + "]";
    rest = text.substr(close + 1);
  } else {
    const size_t colon = text.find(':');
    const std::string_view name = text.substr(0, colon);
    if (name.empty()) return std::nullopt;
    for (char c : name)
      if (!IsRegNameChar(c)) return std::nullopt;
    out.host = LowerCase(name);
    rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
  }
  if (rest.empty()) return out;
  if (rest.front() != ':') return std::nullopt;
  rest.remove_prefix(1);
  if (rest.empty()) return out;  // "host:" names the default port
  if (rest.size() > 5) return std::nullopt;
  unsigned port = 0;
  for (char c : rest) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<unsigned>(c - '0');
  }
  if (port > 65535) return std::nullopt;
  out.port = static_cast<uint16_t>(port);
  return out;
}

bool IsLoopbackIPv4(std::string_view address) {
  const std::string text(address);
  in_addr a{};
  if (::inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
  return (ntohl(a.s_addr) >> 24) == 127;
}

bool IsLoopbackHostField(std::string_view host) {
  const auto parsed = ParseHostAndPort(host);
  if (!parsed) return false;
  if (parsed->host == "localhost") return true;
  if (parsed->host.front() == '[') {
    const std::string inner = parsed->host.substr(1, parsed->host.size() - 2);
    in6_addr a6{};
    return ::inet_pton(AF_INET6, inner.c_str(), &a6) == 1 && IN6_IS_ADDR_LOOPBACK(&a6);
  }
  return IsLoopbackIPv4(parsed->host);
}

bool IsHostAllowed(std::string_view peerAddress, std::string_view host, const LocalHostNames& names) {
  if (!IsLoopbackIPv4(peerAddress) || IsLoopbackHostField(host)) return true;
  const auto named = ParseHostAndPort(host);
  if (!named) return false;
  return (!names.configured.empty() && named->host == names.configured) ||
         (!names.machine.empty() && named->host == names.machine);
}

bool IsOwnOrigin(std::string_view origin, std::string_view host, bool secure) {
  const std::string_view scheme = secure ? "https://" : "http://";
  if (origin.size() <= scheme.size() || LowerCase(origin.substr(0, scheme.size())) != scheme) return false;
  const auto from = ParseHostAndPort(origin.substr(scheme.size()));
  const auto own = ParseHostAndPort(host);
  if (!from || !own) return false;
  const uint16_t defaultPort = secure ? 443 : 80;
  return from->host == own->host && from->port.value_or(defaultPort) == own->port.value_or(defaultPort);
}

bool IsOwnOriginRequest(std::string_view origin, std::string_view host, bool secure, std::string_view fetchSite) {
  if (origin == "null") return fetchSite == "same-origin";
  return IsOwnOrigin(origin, host, secure);
}

bool IsLocalFileFetchAllowed(std::optional<std::string_view> fetchSite) {
  return !fetchSite || *fetchSite == "same-origin" || *fetchSite == "none";
}

bool HasDotDotSegment(std::string_view path) {
  return HasDotDotIn(path) || HasDotDotIn(PercentDecoded(path));
}

}  // namespace vexa

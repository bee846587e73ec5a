#include "server/http/request_checks.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cctype>
#include <cstring>

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

std::optional<std::string> CanonicalAddress(std::string_view text) {
  if (text.size() >= 2 && text.front() == '[' && text.back() == ']') text = text.substr(1, text.size() - 2);
  const std::string s(text);
  char out[INET6_ADDRSTRLEN] = "";
  in_addr a4{};
  if (::inet_pton(AF_INET, s.c_str(), &a4) == 1) return std::string(::inet_ntop(AF_INET, &a4, out, sizeof out));
  in6_addr a6{};
  if (::inet_pton(AF_INET6, s.c_str(), &a6) != 1) return std::nullopt;
  if (IN6_IS_ADDR_V4MAPPED(&a6)) {
    std::memcpy(&a4, a6.s6_addr + 12, 4);
    return std::string(::inet_ntop(AF_INET, &a4, out, sizeof out));
  }
  return std::string(::inet_ntop(AF_INET6, &a6, out, sizeof out));
}

OwnAddresses OwnAddressesOf(int socketFd) {
  OwnAddresses own;
  char text[INET6_ADDRSTRLEN] = "";
  auto add = [&](const sockaddr* sa, std::string& to) {
    if (!sa) return;
    const void* where = nullptr;
    if (sa->sa_family == AF_INET) where = &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr;
    if (sa->sa_family == AF_INET6) where = &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
    if (where && ::inet_ntop(sa->sa_family, where, text, sizeof text)) to = text;
  };
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  if (::getsockname(socketFd, reinterpret_cast<sockaddr*>(&local), &len) == 0)
    add(reinterpret_cast<const sockaddr*>(&local), own.local);
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (const ifaddrs* it = list; it; it = it->ifa_next) {
      std::string address;
      add(it->ifa_addr, address);
      if (!address.empty()) own.machine.push_back(std::move(address));
    }
    ::freeifaddrs(list);
  }
  return own;
}

bool IsThisMachinePeer(std::string_view peerAddress, const OwnAddresses& own) {
  const auto peer = CanonicalAddress(peerAddress);
  if (!peer) return false;
  if (IsLoopbackIPv4(*peer) || *peer == "::1") return true;
  if (CanonicalAddress(own.local) == peer) return true;
  for (const std::string& address : own.machine)
    if (CanonicalAddress(address) == peer) return true;
  return false;
}

bool IsHostAllowed(std::string_view peerAddress, std::string_view host, const LocalHostNames& names,
                   const OwnAddresses& own) {
  if (!IsThisMachinePeer(peerAddress, own) || IsLoopbackHostField(host)) return true;
  const auto named = ParseHostAndPort(host);
  if (!named) return false;
  if ((!names.configured.empty() && named->host == names.configured) ||
      (!names.machine.empty() && named->host == names.machine))
    return true;
  // The address the client connected to, as a literal: the server's own
  // origin, never a name that a foreign DNS could point here.
  const auto literal = CanonicalAddress(named->host);
  return literal && !own.local.empty() && literal == CanonicalAddress(own.local);
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

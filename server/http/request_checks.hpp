#pragma once
// The checks that hold for every request, made where the listener first reads
// it: whom the Host field names, whether an Origin is the server's own, and
// whether a request path climbs out of its folder. Pure text routines.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vexa {

// The host and port of a Host field or of an origin's authority: the host in
// lower case (an IPv6 literal keeps its brackets), the port when one is written.
struct HostAndPort {
  std::string host;
  std::optional<uint16_t> port;
};

// "host", "host:port", "[v6]" or "[v6]:port"; nullopt for anything else
// (empty, spaces, user info, a path, a port that is not a number of 0..65535).
std::optional<HostAndPort> ParseHostAndPort(std::string_view text);

// Whether an IPv4 address in dotted form lies in 127.0.0.0/8.
bool IsLoopbackIPv4(std::string_view address);

// Whether a Host field names this machine by loopback only: an IPv4 literal
// in 127.0.0.0/8, "[::1]" or "localhost", with any port.
bool IsLoopbackHostField(std::string_view host);

// Whether an Origin field is the server's own origin: its scheme is the one
// the connection speaks ("https" over TLS, else "http") and its host and port
// are those the Host field names (a missing port is the scheme's default).
// "null" and anything malformed are foreign.
bool IsOwnOrigin(std::string_view origin, std::string_view host, bool secure);

// Whether a request path holds a ".." segment, as written or once its
// percent escapes are decoded ("%2e%2e", "..%2f").
bool HasDotDotSegment(std::string_view path);

}  // namespace vexa

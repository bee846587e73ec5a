#pragma once
// The checks that hold for every request, made where the listener first reads
// it: whom the Host field names, whether an Origin is the server's own, which
// fetches may read any local file, and whether a request path climbs out of
// its folder. Pure text routines, but for OwnAddressesOf.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// The names by which a client on this machine may call it besides loopback
// literals and "localhost", in lower case ("" for none).
struct LocalHostNames {
  std::string configured;  // the host the server was told to listen on
  std::string machine;     // this machine's own host name
};

// The addresses that are this machine's own, as one connection sees them.
struct OwnAddresses {
  std::string local;                 // the address the client connected to
  std::vector<std::string> machine;  // the addresses of the machine's interfaces
};

// The connection's own address (getsockname) and those of the machine's
// interfaces (getifaddrs); empty parts when the socket is not an IP one.
OwnAddresses OwnAddressesOf(int socketFd);

// An IPv4 or IPv6 address in one written form: dotted IPv4 (also for an
// IPv4-mapped IPv6 address), else IPv6 as inet_ntop writes it, without
// brackets. nullopt when the text is no address.
std::optional<std::string> CanonicalAddress(std::string_view text);

// Whether a peer (an IPv4 or IPv6 address) is on this machine: a loopback
// address, or one of `own` (also in IPv4-mapped form).
bool IsThisMachinePeer(std::string_view peerAddress, const OwnAddresses& own);

// Whether a request from peerAddress may carry this Host field. A client on
// this machine (IsThisMachinePeer: by place, not only by loopback) must name
// this machine: a loopback literal, "localhost", one of `names`, or the
// address it connected to. A page of another site whose DNS name was pointed
// at 127.0.0.1 or at one of the machine's own addresses is such a client,
// whatever address the server listens on. A client on another machine may
// name anything.
bool IsHostAllowed(std::string_view peerAddress, std::string_view host, const LocalHostNames& names,
                   const OwnAddresses& own = {});

// Whether an Origin field is the server's own origin: its scheme is the one
// the connection speaks ("https" over TLS, else "http") and its host and port
// are those the Host field names (a missing port is the scheme's default).
// "null" and anything malformed are foreign.
bool IsOwnOrigin(std::string_view origin, std::string_view host, bool secure);

// Whether a POST or a WebSocket handshake with this Origin field comes from a
// page of the server's own origin: IsOwnOrigin, or "null" on a request that
// the browser itself marks "Sec-Fetch-Site: same-origin" (a page that sends
// no referrer posts its forms with "Origin: null"). fetchSite is that field's
// value, "" when absent.
bool IsOwnOriginRequest(std::string_view origin, std::string_view host, bool secure, std::string_view fetchSite);

// Whether a request for any local file may be answered by its Sec-Fetch-Site
// field (nullopt when absent): a fetch the user made ("none"), one of the
// server's own pages ("same-origin") and clients that send no such field may;
// a page of another site or another port may not include or read the file.
bool IsLocalFileFetchAllowed(std::optional<std::string_view> fetchSite);

// Whether a request path holds a ".." segment, as written or once its
// percent escapes are decoded ("%2e%2e", "..%2f").
bool HasDotDotSegment(std::string_view path);

}  // namespace vexa

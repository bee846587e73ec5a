#pragma once
// The server side of the WebSocket opening handshake: the accept key, the
// permessage-deflate negotiation and the 101 reply that turns an HTTP
// connection into a WebSocket connection.

#include <string>

#include "server/http/http_types.hpp"

namespace vexa {

class TConnection;

// The "Sec-WebSocket-Accept" value for a client key: Base64 of the SHA-1 of
// the key (exactly as received) followed by the protocol's GUID.
std::string ComputeWebSocketAccept(const std::string& key);

// The permessage-deflate answer to the "Sec-WebSocket-Extensions" offers of
// a request (all such header lines, in order), or the empty text when no
// offer is acceptable. The first well-formed permessage-deflate offer is
// accepted; the answer carries only what the offer allows: its
// server_no_context_takeover and server_max_window_bits echoed (the server
// never compresses, so any window suits it), and client_max_window_bits only
// when offered (its value, or 15 when offered without one). Offers with an
// unknown, repeated or malformed parameter are declined.
std::string NegotiateDeflate(const HttpRequest& request);

// The 101 reply header for an upgrade request. Raises
// std::runtime_error("Missing WebSocket key") when "Sec-WebSocket-Key" is
// absent or empty. `deflate` tells whether permessage-deflate was agreed
// (NegotiateDeflate).
std::string BuildWebSocketReply(const HttpRequest& request, bool& deflate);

// Writes the 101 reply on the connection and returns whether
// permessage-deflate was agreed. Raises "Missing WebSocket key" before
// writing anything when the key is missing; a failed write raises too.
bool WebSocketHandshake(TConnection& connection, const HttpRequest& request);

}  // namespace vexa

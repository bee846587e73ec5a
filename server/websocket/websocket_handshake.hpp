#pragma once
// The server side of the WebSocket opening handshake: the accept key and the
// 101 reply that turns an HTTP connection into a WebSocket connection.

#include <string>

#include "server/http/http_types.hpp"

namespace vexa {

class TConnection;

// The extension answered when the client's offer mentions permessage-deflate.
inline constexpr const char* kWsDeflateReply = "permessage-deflate; client_max_window_bits=15";

// The "Sec-WebSocket-Accept" value for a client key: Base64 of the SHA-1 of
// the key (exactly as received) followed by the protocol's GUID.
std::string ComputeWebSocketAccept(const std::string& key);

// The 101 reply header for an upgrade request. Raises
// std::runtime_error("Missing WebSocket key") when "Sec-WebSocket-Key" is
// absent or empty. `deflate` tells whether permessage-deflate was agreed: the
// offer "Sec-WebSocket-Extensions" contains "permessage-deflate" (letter case
// as written; its parameters are not parsed).
std::string BuildWebSocketReply(const HttpRequest& request, bool& deflate);

// Writes the 101 reply on the connection and returns whether
// permessage-deflate was agreed. Raises "Missing WebSocket key" before
// writing anything when the key is missing; a failed write raises too.
bool WebSocketHandshake(TConnection& connection, const HttpRequest& request);

}  // namespace vexa

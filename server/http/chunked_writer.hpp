#pragma once
// Replies streamed with chunked transfer coding.
//
// Order of one reply: set status, Content-Type and other fields on
// reply.response -> StartChunked once -> any number of SendChunkText /
// WriteChunked -> EndChunked once. These routines take no lock of their own
// beyond the connection's write lock: a caller that writes one reply from
// several threads serialises its calls itself. Each call is one indivisible
// TConnection::Write, so a chunk never mixes with other bytes on the wire.

#include "server/http/connection.hpp"
#include "server/http/http_types.hpp"

#include <string>
#include <string_view>

namespace vexa {

// Largest chunk written at once.
inline constexpr size_t kMaxChunkSize = 16384;

// Sets "Connection: keep-alive" and "Transfer-Encoding: chunked" and writes
// the status line and header fields now. Marks the reply started.
void StartChunked(TConnection& connection, HttpReply& reply);
// The text's bytes exactly as they are; an empty text writes nothing.
void SendChunkText(TConnection& connection, std::string_view text);
// The bytes as chunks of at most kMaxChunkSize; nothing for zero bytes.
void WriteChunked(TConnection& connection, const void* data, size_t size);
// The last chunk ("0" CR LF CR LF). Marks the reply ended.
void EndChunked(TConnection& connection, HttpReply& reply);

// The wire form of WriteChunked, for tests and for callers that batch.
std::string EncodeChunks(std::string_view bytes);

}  // namespace vexa

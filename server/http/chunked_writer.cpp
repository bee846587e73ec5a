#include "server/http/chunked_writer.hpp"

#include <array>
#include <cstdio>
#include <sstream>
#include <vector>

namespace vexa {

namespace {

// The size line of one chunk: upper-case hex without leading zeros, CR LF.
size_t SizeLine(char* out, size_t length) {
  return static_cast<size_t>(std::snprintf(out, 24, "%zX\r\n", length));
}

}  // namespace

void StartChunked(TConnection& connection, HttpReply& reply) {
  auto& res = reply.response;
  res.set(http::field::connection, reply.close ? "close" : "keep-alive");
  res.set(http::field::transfer_encoding, "chunked");
  res.erase(http::field::content_length);
  std::ostringstream header;
  header << res.base();  // status line, fields, empty line
  connection.Write(header.str());
  reply.started = true;
}

void SendChunkText(TConnection& connection, std::string_view text) {
  WriteChunked(connection, text.data(), text.size());
}

void WriteChunked(TConnection& connection, const void* data, size_t size) {
  if (size == 0) return;  // a zero-length chunk would end the body
  const char* p = static_cast<const char*>(data);
  const size_t count = (size + kMaxChunkSize - 1) / kMaxChunkSize;
  std::vector<std::array<char, 24>> lines(count);
  std::vector<boost::asio::const_buffer> pieces;
  pieces.reserve(count * 3);
  static const char kCrLf[] = "\r\n";
  for (size_t i = 0; i < count; ++i) {
    size_t len = std::min(size, kMaxChunkSize);
    size_t n = SizeLine(lines[i].data(), len);
    pieces.emplace_back(lines[i].data(), n);
    pieces.emplace_back(p, len);
    pieces.emplace_back(kCrLf, 2);
    p += len;
    size -= len;
  }
  connection.Write(pieces);  // one write: the whole call goes out together
}

void EndChunked(TConnection& connection, HttpReply& reply) {
  connection.Write(std::string_view("0\r\n\r\n"));
  reply.ended = true;
}

std::string EncodeChunks(std::string_view bytes) {
  std::string out;
  char line[24];
  while (!bytes.empty()) {
    size_t len = std::min(bytes.size(), kMaxChunkSize);
    out.append(line, SizeLine(line, len));
    out.append(bytes.substr(0, len));
    out += "\r\n";
    bytes.remove_prefix(len);
  }
  return out;
}

}  // namespace vexa

#include "server/websocket/websocket_handshake.hpp"

#include <openssl/evp.h>

#include <stdexcept>

#include "server/http/connection.hpp"

namespace vexa {

namespace {
constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
}

std::string ComputeWebSocketAccept(const std::string& key) {
  const std::string text = key + kAcceptGuid;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &digestLen, EVP_sha1(), nullptr) != 1)
    throw std::runtime_error("SHA-1 failed");
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int n = EVP_EncodeBlock(encoded, digest, static_cast<int>(digestLen));
  return std::string(reinterpret_cast<const char*>(encoded), static_cast<size_t>(n));
}

std::string BuildWebSocketReply(const HttpRequest& request, bool& deflate) {
  // Beast looks header names up without regard to letter case.
  const auto keyIt = request.find("Sec-WebSocket-Key");
  const std::string key = keyIt == request.end() ? std::string() : std::string(keyIt->value());
  if (key.empty()) throw std::runtime_error("Missing WebSocket key");
  const auto extIt = request.find("Sec-WebSocket-Extensions");
  const std::string offer = extIt == request.end() ? std::string() : std::string(extIt->value());
  deflate = offer.find("permessage-deflate") != std::string::npos;

  std::string reply;
  reply.reserve(320);
  reply += "HTTP/1.1 101 Switching Protocols\r\n";
  reply += "Connection: Upgrade\r\n";
  reply += "Content-Type: text/plain; charset=utf-8\r\n";
  reply += "Upgrade: websocket\r\n";
  reply += "Sec-WebSocket-Accept: " + ComputeWebSocketAccept(key) + "\r\n";
  if (deflate) reply += std::string("Sec-WebSocket-Extensions: ") + kWsDeflateReply + "\r\n";
  reply += "X-Content-Type-Options: nosniff\r\n";
  reply += "X-Frame-Options: SAMEORIGIN\r\n";
  reply += "X-Xss-Protection: 1; mode=block\r\n";
  reply += "\r\n";
  return reply;
}

bool WebSocketHandshake(TConnection& connection, const HttpRequest& request) {
  bool deflate = false;
  const std::string reply = BuildWebSocketReply(request, deflate);
  connection.Write(reply);
  return deflate;
}

}  // namespace vexa

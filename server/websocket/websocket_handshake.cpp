#include "server/websocket/websocket_handshake.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "server/http/connection.hpp"
#include "server/http/shared_routines.hpp"

namespace vexa {

namespace {
constexpr char kAcceptGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
constexpr std::string_view kDeflateName = "permessage-deflate";

bool IsTokenChar(char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), IsTokenChar);
}

// Splits at `sep` where it stands outside a quoted string.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view s, char sep) {
  std::vector<std::string_view> parts;
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    if (quoted) {
      if (s[i] == '\\') ++i;
      else if (s[i] == '"') quoted = false;
    } else if (s[i] == '"') {
      quoted = true;
    } else if (s[i] == sep) {
      parts.push_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(s.substr(start));
  return parts;
}

// A parameter value: a token, or a quoted string (unescaped). False when it
// is neither.
bool ParseValue(std::string_view raw, std::string& value) {
  if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
    value.clear();
    for (size_t i = 1; i + 1 < raw.size(); ++i) {
      if (raw[i] == '"') return false;
      if (raw[i] == '\\') {
        if (++i + 1 >= raw.size()) return false;
      }
      value.push_back(raw[i]);
    }
    return true;
  }
  if (!IsToken(raw)) return false;
  value.assign(raw);
  return true;
}

// A window size as the protocol writes it: 8 to 15, no leading zero.
bool IsWindowBits(const std::string& v) {
  return v == "8" || v == "9" || (v.size() == 2 && v[0] == '1' && v[1] >= '0' && v[1] <= '5');
}

// The answer to one offer (its parameters after the name), or nothing when
// the offer cannot be accepted as written.
std::optional<std::string> AnswerDeflateOffer(const std::vector<std::string_view>& params) {
  bool serverNoTakeover = false, clientNoTakeover = false;
  std::optional<std::string> serverBits, clientBits;
  for (std::string_view param : params) {
    param = TrimSpaces(param);
    const size_t eq = param.find('=');
    const std::string_view name = TrimSpaces(param.substr(0, eq));
    std::optional<std::string> value;
    if (eq != std::string_view::npos) {
      value.emplace();
      if (!ParseValue(TrimSpaces(param.substr(eq + 1)), *value)) return std::nullopt;
    }
    if (name == "server_no_context_takeover" || name == "client_no_context_takeover") {
      bool& seen = name[0] == 's' ? serverNoTakeover : clientNoTakeover;
      if (seen || value) return std::nullopt;
      seen = true;
    } else if (name == "server_max_window_bits") {
      if (serverBits || !value || !IsWindowBits(*value)) return std::nullopt;
      serverBits = *value;
    } else if (name == "client_max_window_bits") {
      if (clientBits || (value && !IsWindowBits(*value))) return std::nullopt;
      clientBits = value ? *value : std::string("15");
    } else {
      return std::nullopt;  // a parameter this extension does not define
    }
  }
  // The client may keep or drop its context: the inflater keeps its window
  // either way, which a client that starts each message afresh never uses.
  // The client's window is at most 15 bits whatever it announces, and a
  // 15-bit inflater decodes a stream made with any smaller window.
  std::string answer(kDeflateName);
  if (serverNoTakeover) answer += "; server_no_context_takeover";
  if (serverBits) answer += "; server_max_window_bits=" + *serverBits;
  if (clientBits) answer += "; client_max_window_bits=" + *clientBits;
  return answer;
}

}  // namespace

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

std::string NegotiateDeflate(const HttpRequest& request) {
  // Several header lines make one list, as if joined with commas.
  std::string offers;
  for (auto range = request.equal_range("Sec-WebSocket-Extensions"); range.first != range.second;
       ++range.first) {
    if (!offers.empty()) offers += ',';
    offers.append(range.first->value());
  }
  for (std::string_view element : SplitOutsideQuotes(offers, ',')) {
    std::vector<std::string_view> params = SplitOutsideQuotes(element, ';');
    if (TrimSpaces(params.front()) != kDeflateName) continue;
    params.erase(params.begin());
    if (std::optional<std::string> answer = AnswerDeflateOffer(params)) return *answer;
  }
  return std::string();
}

std::string BuildWebSocketReply(const HttpRequest& request, bool& deflate) {
  // Beast looks header names up without regard to letter case.
  const auto keyIt = request.find("Sec-WebSocket-Key");
  const std::string key = keyIt == request.end() ? std::string() : std::string(keyIt->value());
  if (key.empty()) throw std::runtime_error("Missing WebSocket key");
  const std::string extension = NegotiateDeflate(request);
  deflate = !extension.empty();

  std::string reply;
  reply.reserve(320);
  reply += "HTTP/1.1 101 Switching Protocols\r\n";
  reply += "Connection: Upgrade\r\n";
  reply += "Content-Type: text/plain; charset=utf-8\r\n";
  reply += "Upgrade: websocket\r\n";
  reply += "Sec-WebSocket-Accept: " + ComputeWebSocketAccept(key) + "\r\n";
  if (deflate) reply += "Sec-WebSocket-Extensions: " + extension + "\r\n";
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

#pragma once
// A reply as it arrives on the client's end of a socket pair: the header
// block and the chunks of a chunked body, each kept whole.

#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace vexa::test {

struct Wire {
  std::string header;               // status line and fields, up to the empty line
  std::vector<std::string> chunks;  // body chunks in order
  bool ended = false;               // the last chunk "0" CR LF CR LF arrived
  std::string rest;                 // bytes that do not parse

  bool HasField(const std::string& line) const { return header.find("\r\n" + line + "\r\n") != std::string::npos; }
  std::string Body() const {
    std::string b;
    for (const auto& c : chunks) b += c;
    return b;
  }
};

inline Wire ParseWire(const std::string& raw) {
  Wire w;
  std::size_t end = raw.find("\r\n\r\n");
  if (end == std::string::npos) {
    w.rest = raw;
    return w;
  }
  w.header = raw.substr(0, end + 2);
  std::size_t pos = end + 4;
  while (pos < raw.size()) {
    std::size_t eol = raw.find("\r\n", pos);
    if (eol == std::string::npos) break;
    std::size_t len = std::stoul(raw.substr(pos, eol - pos), nullptr, 16);
    if (len == 0) {
      w.ended = raw.compare(eol, 4, "\r\n\r\n") == 0;
      pos = eol + 4;
      break;
    }
    if (eol + 2 + len + 2 > raw.size()) break;
    w.chunks.push_back(raw.substr(eol + 2, len));
    pos = eol + 2 + len + 2;
  }
  if (pos < raw.size()) w.rest = raw.substr(pos);
  return w;
}

// Reads everything from fd until nothing more arrives for `quiet`.
inline std::string DrainSocket(int fd, std::chrono::milliseconds quiet = std::chrono::milliseconds(200)) {
  std::string out;
  char buf[65536];
  while (true) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return out;
}

}  // namespace vexa::test

#include "platform/bind_probe.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>


namespace vexa::platform {

namespace {

// Four parts of one to three digits, each <= 255; anything else is not an
// address we bind to.
bool ParseDottedQuad(const std::string& host, uint32_t& out) {
  uint32_t value = 0;
  int parts = 0;
  size_t i = 0;
  while (parts < 4) {
    size_t start = i;
    unsigned part = 0;
    while (i < host.size() && host[i] >= '0' && host[i] <= '9' && i - start < 3) part = part * 10 + (host[i++] - '0');
    if (i == start || part > 255) return false;
    value = (value << 8) | part;
    ++parts;
    if (parts < 4) {
      if (i >= host.size() || host[i] != '.') return false;
      ++i;
    }
  }
  if (i != host.size()) return false;
  out = value;
  return true;
}

}  // namespace

bool CanBindIPv4(const std::string& host, uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    static const char kLine[] = "Error creating socket\n";
    ssize_t ignored = ::write(STDOUT_FILENO, kLine, sizeof kLine - 1);
    (void)ignored;
    return false;
  }
  uint32_t addr = 0;  // 0.0.0.0 unless the host is a dotted quad
  ParseDottedQuad(host, addr);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(addr);
  // As the listener does: connections of an earlier run that linger in
  // TIME_WAIT do not make the port taken, so a quick relaunch keeps its port
  // (and with it the page's origin). A listening socket still refuses it.
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  ::close(fd);
  return ok;
}

}  // namespace vexa::platform

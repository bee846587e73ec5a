#include "server/startup/free_port.hpp"

#include "platform/bind_probe.hpp"

namespace vexa {

bool CanBind(const std::string& host, uint16_t port) { return platform::CanBindIPv4(host, port); }

int FindFreePort(const std::string& host, int startPort, int endPort) {
  for (int p = startPort; p <= endPort; ++p) {
    if (CanBind(host, static_cast<uint16_t>(p))) return p;
  }
  return endPort;
}

}  // namespace vexa

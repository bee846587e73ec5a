#pragma once
// The free-port search of desk mode.

#include <cstdint>
#include <string>

namespace vexa {

// True when the listener's IPv4 stream socket (SO_REUSEADDR) can be bound to
// host:port right now.
bool CanBind(const std::string& host, uint16_t port);

// The first port from startPort to endPort (inclusive, in order) that
// CanBind accepts; endPort when none does (also when the range is empty,
// endPort < startPort, in which case no port is tried).
int FindFreePort(const std::string& host, int startPort, int endPort);

}  // namespace vexa

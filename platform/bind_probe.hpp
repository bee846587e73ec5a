#pragma once
// The free-port probe: can the listener's IPv4 stream socket bind to
// host:port right now?

#include <cstdint>
#include <string>

namespace vexa::platform {

// Binds a fresh IPv4 stream socket with SO_REUSEADDR (as the listener's) to
// the host read as a dotted quad, or to 0.0.0.0 when the host is not one (four
// parts of one to three digits, each at most 255), and closes it in every
// case. A port held only by connections in TIME_WAIT counts as free. Prints
// "Error creating socket" when no socket can be created, and then says false.
bool CanBindIPv4(const std::string& host, uint16_t port);

}  // namespace vexa::platform

#pragma once
// The seam between the application object and the one-port listener: the
// application object creates its listener through a factory, so that the
// program wires in the real web server while tests can use a stand-in.

#include <functional>
#include <memory>
#include <string>

namespace vexa {

class TListener {
 public:
  virtual ~TListener() = default;
  // The TLS key, certificate and CA files; raises when they cannot be used.
  virtual void SetSSLFiles(const std::string& cert, const std::string& key, const std::string& ca) = 0;
  // Binds and starts serving; raises on failure (a port in use included).
  virtual void Start() = 0;
  // Stops serving and ends every connection; never raises.
  virtual void Stop() = 0;
};

// Creates the listener for a port and a host, in that order. May raise.
using ListenerFactory = std::function<std::unique_ptr<TListener>(int port, const std::string& host)>;

}  // namespace vexa

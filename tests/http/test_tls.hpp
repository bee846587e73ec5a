#pragma once
// A throw-away self-signed certificate and the two TLS contexts of a test.

#include <openssl/ssl.h>

#include <memory>
#include <string>

namespace vexa::test {

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;

// A server context with a fresh EC key and a self-signed certificate for
// "localhost", TLS 1.2 and 1.3 only.
SslCtxPtr MakeServerContext();
// A client context that does not verify the server.
SslCtxPtr MakeClientContext();
// Writes the certificate and key of a fresh server identity as PEM files.
void WriteServerPem(const std::string& certFile, const std::string& keyFile);

}  // namespace vexa::test

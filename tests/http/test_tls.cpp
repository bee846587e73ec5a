#include "test_tls.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <stdexcept>

namespace vexa::test {

namespace {

struct Identity {
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  ~Identity() {
    EVP_PKEY_free(key);
    X509_free(cert);
  }
};

void MakeIdentity(Identity& id) {
  id.key = EVP_EC_gen("P-256");
  if (!id.key) throw std::runtime_error("EVP_EC_gen");
  id.cert = X509_new();
  X509_set_version(id.cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(id.cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(id.cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(id.cert), 3600 * 24);
  X509_set_pubkey(id.cert, id.key);
  X509_NAME* name = X509_get_subject_name(id.cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(id.cert, name);
  if (!X509_sign(id.cert, id.key, EVP_sha256())) throw std::runtime_error("X509_sign");
}

}  // namespace

SslCtxPtr MakeServerContext() {
  Identity id;
  MakeIdentity(id);
  SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  if (SSL_CTX_use_certificate(ctx.get(), id.cert) != 1 ||
      SSL_CTX_use_PrivateKey(ctx.get(), id.key) != 1)
    throw std::runtime_error("server identity");
  return ctx;
}

SslCtxPtr MakeClientContext() {
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
  return ctx;
}

void WriteServerPem(const std::string& certFile, const std::string& keyFile) {
  Identity id;
  MakeIdentity(id);
  FILE* f = std::fopen(certFile.c_str(), "w");
  PEM_write_X509(f, id.cert);
  std::fclose(f);
  f = std::fopen(keyFile.c_str(), "w");
  PEM_write_PrivateKey(f, id.key, nullptr, nullptr, 0, nullptr, nullptr);
  std::fclose(f);
}

}  // namespace vexa::test

// The secure link of the simulated gateways (OpenSSL), as the daemon speaks
// it: TLS 1.2, ECDHE-ECDSA with AES-GCM or ChaCha20-Poly1305 on P-256 and
// SHA-256, a client certificate, the hub checked by the pin of its key
// and/or a CA, the session (its ticket) kept per gateway and offered at the
// next connect.
//
// Each gateway has its own P-256 key and a certificate naming its ID,
// signed by the factory CA given, so a hub that trusts that CA admits it at
// once. They are made at a gateway's first connect (tls_keys.cpp), so the
// start stays quick and their cost is spread at the connect rate. Idle
// links keep no record buffers (SSL_MODE_RELEASE_BUFFERS).
#ifndef FLEET_TLS_H
#define FLEET_TLS_H

#include <openssl/ec.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <vector>

#include "tlskit.h"

namespace fleet {

struct Fleet;

// The fleet's TLS state: one context, the factory CA, and per gateway its
// key, certificate and kept session (null until made or given).
struct FleetTls {
  SSL_CTX *ctx = nullptr;
  EVP_PKEY *ca_key = nullptr;
  X509 *ca_cert = nullptr;
  EC_GROUP *group = nullptr;    // P-256, for the gateways' keys
  X509_EXTENSION *ext[3] = {};  // every gateway certificate's extensions
  uint64_t serial = 0;          // of the first certificate made, counted up
  tlskit::Fingerprint pin{};
  bool has_pin = false, has_ca = false;
  std::vector<EVP_PKEY *> keys;
  std::vector<X509 *> certs;
  std::vector<SSL_SESSION *> sessions;
  uint64_t keys_made = 0, keys_us = 0;  // making keys and certificates, in all
};

// What a step of the handshake or an I/O call came to.
enum class TlsIo : int { kAgainRead = -1, kAgainWrite = -2, kClosed = -3, kFailed = -4 };

// From the options (--tls-*): the context, the CA read; false after a
// message naming the file. Nothing is done when no TLS option was given.
bool tls_open(Fleet &f);
void tls_close(Fleet &f);

// Gateway i's TLS object on its connected socket, its session offered.
bool tls_begin(Fleet &f, uint32_t i);
// One step of the handshake: 0 done, or a TlsIo.
int tls_handshake(Fleet &f, uint32_t i);
// Decrypted bytes read (> 0) or written (> 0), or a TlsIo.
ssize_t tls_recv(Fleet &f, uint32_t i, uint8_t *buf, size_t cap);
ssize_t tls_send(Fleet &f, uint32_t i, const uint8_t *buf, size_t len);
// close_notify when the link was up (so its session stays resumable), and
// the TLS object freed; the session is kept.
void tls_end(Fleet &f, uint32_t i);

// tls_keys.cpp: gateway i's key and certificate, made when missing.
bool tls_credentials(Fleet &f, uint32_t i);
bool tls_load_ca(FleetTls &t, const char *key_path, const char *cert_path);

}  // namespace fleet

#endif

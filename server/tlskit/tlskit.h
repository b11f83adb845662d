// What the programs on the secure link share (OpenSSL 3): the policy a
// context gets (protocol versions, ciphers, groups), the kind of key a
// server of the link must have, and a key's fingerprint with its text form.
//
// The policy: TLS 1.2 at least; TLS 1.2's ciphers only ECDHE-ECDSA with
// AES-GCM or ChaCha20-Poly1305; no renegotiation, no compression. A server
// (the hub, the console) also allows TLS 1.3 and X25519 for other clients
// and picks the cipher itself; a gateway (the fleet's simulated ones)
// speaks what the daemon speaks: TLS 1.2 only, P-256, ECDSA with SHA-256.
#ifndef TLSKIT_TLSKIT_H
#define TLSKIT_TLSKIT_H

#include <openssl/types.h>
#include <stddef.h>
#include <stdint.h>

#include <array>
#include <string>

namespace tlskit {

enum class Role { kServer, kGateway };

// Applies the policy of role to ctx; false when OpenSSL refuses a part.
bool apply_policy(SSL_CTX *ctx, Role role);

// The server's end of a TLS connection on an accepted socket (accept state
// set); null, OpenSSL's errors cleared, without memory.
SSL *accept_on(SSL_CTX *ctx, int fd);

// What is wrong with key for a server of the link (not ECDSA on P-256: the
// gateways speak ECDHE-ECDSA only), or empty.
std::string key_unfit(EVP_PKEY *key);

// A key on the secure link: the SHA-256 of its certificate's public key
// (the SubjectPublicKeyInfo, DER), shown as 64 lower-case hex digits.
using Fingerprint = std::array<uint8_t, 32>;

// The fingerprint of cert's key; false without a certificate.
bool fingerprint(X509 *cert, Fingerprint *out);
std::string fp_hex(const Fingerprint &f);
// 64 hex digits (either case) to a fingerprint; false for anything else.
bool fp_parse(const char *text, size_t n, Fingerprint *out);

}  // namespace tlskit

#endif

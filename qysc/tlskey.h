// The gateway's identity on the secure link: an EC P-256 key and a
// certificate for it. A factory-installed pair (its certificate signed by a
// factory CA, CN the gateway's ID) is used as it is. Without a key file the
// daemon makes one on its first start with TLS on (from the seeded random
// source, PEM, mode 0600, written under a temporary name and renamed), and
// a self-signed certificate for it whose CN is the gateway ID (the
// VirtualIP text). The hub binds the key's fingerprint, the SHA-256 of its
// SubjectPublicKeyInfo DER in lower-case hex, to that ID; the daemon logs
// the fingerprint, never the key.
#ifndef QYSC_TLSKEY_H
#define QYSC_TLSKEY_H

#include <stddef.h>

#include <mbedtls/pk.h>
#include <mbedtls/x509_crt.h>

#include "tlsconf.h"

#define TLS_KEY_READY 1
#define TLS_KEY_WAIT 0       // the kernel's random pool is not ready yet: try again later
#define TLS_KEY_BROKEN (-1)  // the files cannot be made or used (logged)

// Makes or checks the pair once; TLS_KEY_READY after that.
int tls_key_ready(const TlsConf *c, const char *id);
// "" until the pair is ready.
const char *tls_key_fingerprint(void);
// The pair, parsed into the connection's own contexts (arena); 0 or -1.
int tls_key_load(const TlsConf *c, mbedtls_pk_context *key, mbedtls_x509_crt *cert);
// SHA-256 of a SubjectPublicKeyInfo DER.
void tls_spki_hash(const unsigned char *der, size_t len, unsigned char out[32]);
// Forgets that the pair was checked (tests, a new tls.ini).
void tls_key_forget(void);

#endif

// The gateway key pair: made at first start, checked, fingerprinted.
#include "tlskey.h"

#include <stdio.h>
#include <string.h>

#include <mbedtls/ecp.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/sha256.h>
#include <mbedtls/x509_crt.h>

#include "qycomm.h"
#include "tlsarena.h"
#include "tlsfile.h"
#include "tlsrand.h"

namespace {

constexpr int kKeyPemMax = 512;
constexpr int kCertPemMax = 1536;
constexpr char kNotBefore[] = "20000101000000";
constexpr char kNotAfter[] = "99991231235959";  // no end (RFC 5280 4.1.2.5)

bool g_ready = false;
bool g_waitSaid = false;
char g_fingerprint[65];

int parse_key(const char *path, mbedtls_pk_context *pk) {
  size_t len = 0;
  unsigned char *pem = tls_file_read(path, &len);
  if (pem == nullptr) return -1;
  const int rc = mbedtls_pk_parse_key(pk, pem, len, nullptr, 0);
  tls_file_drop(pem, len);
  const bool p256 = rc == 0 && mbedtls_pk_can_do(pk, MBEDTLS_PK_ECKEY) &&
                    mbedtls_pk_ec(*pk)->grp.id == MBEDTLS_ECP_DP_SECP256R1;
  return p256 ? 0 : -1;
}

int parse_cert(const char *path, mbedtls_x509_crt *crt) {
  size_t len = 0;
  unsigned char *pem = tls_file_read(path, &len);
  if (pem == nullptr) return -1;
  const int rc = mbedtls_x509_crt_parse(crt, pem, len);
  tls_file_drop(pem, len);
  return rc == 0 ? 0 : -1;
}

int make_key(const char *path) {
  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  unsigned char pem[kKeyPemMax];
  int rc = mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY));
  if (rc == 0) {
    rc = mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(pk), tls_rand_fill, tls_rand());
  }
  if (rc == 0) rc = mbedtls_pk_write_key_pem(&pk, pem, sizeof pem);
  if (rc == 0) rc = tls_file_write(path, pem, strlen(reinterpret_cast<char *>(pem)), 0600);
  mbedtls_platform_zeroize(pem, sizeof pem);
  mbedtls_pk_free(&pk);
  return rc == 0 ? 0 : -1;
}

// "CN=<id>" with the characters a distinguished name string treats as its own escaped.
void subject_of(const char *id, char *out, size_t size) {
  size_t n = static_cast<size_t>(snprintf(out, size, "CN="));
  for (; *id != '\0' && n + 3 < size; id++) {
    if (strchr(",=+\\", *id) != nullptr) out[n++] = '\\';
    out[n++] = *id;
  }
  out[n] = '\0';
}

int write_cert(mbedtls_x509write_cert *w, mbedtls_pk_context *pk, const char *id, const char *path) {
  char subject[80];
  subject_of(id, subject, sizeof subject);
  unsigned char pem[kCertPemMax];
  mbedtls_mpi serial;
  mbedtls_mpi_init(&serial);
  mbedtls_x509write_crt_set_md_alg(w, MBEDTLS_MD_SHA256);
  mbedtls_x509write_crt_set_subject_key(w, pk);
  mbedtls_x509write_crt_set_issuer_key(w, pk);
  int rc = mbedtls_mpi_fill_random(&serial, 16, tls_rand_fill, tls_rand());
  if (rc == 0) rc = mbedtls_x509write_crt_set_serial(w, &serial);
  if (rc == 0) rc = mbedtls_x509write_crt_set_subject_name(w, subject);
  if (rc == 0) rc = mbedtls_x509write_crt_set_issuer_name(w, subject);
  if (rc == 0) rc = mbedtls_x509write_crt_set_validity(w, kNotBefore, kNotAfter);
  if (rc == 0) rc = mbedtls_x509write_crt_pem(w, pem, sizeof pem, tls_rand_fill, tls_rand());
  if (rc == 0) rc = tls_file_write(path, pem, strlen(reinterpret_cast<char *>(pem)), 0644);
  mbedtls_mpi_free(&serial);
  return rc;
}

int make_cert(const TlsConf *c, mbedtls_pk_context *pk, const char *id) {
  mbedtls_x509write_cert w;
  mbedtls_x509write_crt_init(&w);
  const int rc = write_cert(&w, pk, id, c->cert);
  mbedtls_x509write_crt_free(&w);
  if (rc != 0) {
    PrintMsg("-- tls: the gateway certificate could not be written to %s\r\n", c->cert);
    return -1;
  }
  PrintMsg("-- tls: gateway certificate %s made, self-signed, CN=%s\r\n", c->cert, id);
  return 0;
}

void note_fingerprint(const mbedtls_x509_crt *crt) {
  unsigned char h[32];
  tls_spki_hash(crt->pk_raw.p, crt->pk_raw.len, h);
  for (int i = 0; i < 32; i++) snprintf(g_fingerprint + 2 * i, 3, "%02x", h[i]);
}

// The pair checked and fingerprinted, the certificate made first if missing.
int check_pair(const TlsConf *c, const char *id, mbedtls_pk_context *pk, mbedtls_x509_crt *crt) {
  if (parse_key(c->key, pk) != 0) {
    PrintMsg("-- tls: gateway key %s is not a readable EC P-256 key\r\n", c->key);
    return TLS_KEY_BROKEN;
  }
  if (!tls_file_exists(c->cert)) {
    if (!tls_rand_ready()) return TLS_KEY_WAIT;
    if (make_cert(c, pk, id) != 0) return TLS_KEY_BROKEN;
  }
  if (parse_cert(c->cert, crt) != 0 || mbedtls_pk_check_pair(&crt->pk, pk) != 0) {
    PrintMsg("-- tls: gateway certificate %s is unreadable or not for the key %s\r\n", c->cert, c->key);
    return TLS_KEY_BROKEN;
  }
  note_fingerprint(crt);
  PrintMsg("-- tls: gateway key %s, fingerprint %s\r\n", c->key, g_fingerprint);
  return TLS_KEY_READY;
}

int make_key_file(const TlsConf *c) {
  if (!tls_rand_ready()) {
    if (!g_waitSaid) PrintMsg("-- tls: waiting for the kernel's random pool\r\n");
    g_waitSaid = true;
    return TLS_KEY_WAIT;
  }
  PrintMsg("-- tls: making the gateway key %s\r\n", c->key);
  if (make_key(c->key) == 0) return TLS_KEY_READY;
  PrintMsg("-- tls: the gateway key could not be written to %s\r\n", c->key);
  return TLS_KEY_BROKEN;
}

}  // namespace

int tls_key_ready(const TlsConf *c, const char *id) {
  if (g_ready) return TLS_KEY_READY;
  ArenaScope arena;
  if (!tls_file_exists(c->key)) {
    const int made = make_key_file(c);
    if (made != TLS_KEY_READY) return made;
  }
  if (!tls_file_private(c->key)) {
    PrintMsg("-- tls: gateway key %s was readable by others: now by its owner only\r\n", c->key);
  }
  mbedtls_pk_context pk;
  mbedtls_x509_crt crt;
  mbedtls_pk_init(&pk);
  mbedtls_x509_crt_init(&crt);
  const int rc = check_pair(c, id, &pk, &crt);
  mbedtls_x509_crt_free(&crt);
  mbedtls_pk_free(&pk);
  g_ready = rc == TLS_KEY_READY;
  return rc;
}

const char *tls_key_fingerprint(void) { return g_ready ? g_fingerprint : ""; }

int tls_key_load(const TlsConf *c, mbedtls_pk_context *key, mbedtls_x509_crt *cert) {
  return parse_key(c->key, key) == 0 && parse_cert(c->cert, cert) == 0 ? 0 : -1;
}

void tls_spki_hash(const unsigned char *der, size_t len, unsigned char out[32]) {
  mbedtls_sha256_ret(der, len, out, 0);
}

void tls_key_forget(void) {
  g_ready = false;
  g_waitSaid = false;
  g_fingerprint[0] = '\0';
}

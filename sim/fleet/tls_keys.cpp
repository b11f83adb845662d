// What the simulated gateways prove themselves with: the factory CA read
// from its files, and a P-256 key and a certificate naming the gateway's ID
// (CN), signed by that CA, made for a gateway when it first connects.
//
// The keys are made as EC_KEYs, OpenSSL's older interface: setting a
// provider's key into a certificate goes through OpenSSL 3's encoder
// lookup, ~350 us a key on this machine, against ~40 us for the EC_KEY
// route (its one export to the provider at the first signature adds ~30).
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "fleet.h"
#include "tls.h"

namespace fleet {
namespace {

constexpr long kValidS = 3650L * 86400;
constexpr long kBackdateS = 3600;  // clocks a little apart

// The extensions trm-pki.sh gives a gateway: not a CA, signing only, a TLS client.
constexpr struct {
  int nid;
  const char *value;
} kExtensions[3] = {
    {NID_basic_constraints, "critical,CA:FALSE"},
    {NID_key_usage, "critical,digitalSignature"},
    {NID_ext_key_usage, "clientAuth"},
};

int64_t mono_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

bool read_pem(const char *path, bool key, FleetTls &t) {
  FILE *fp = fopen(path, "r");
  if (fp == nullptr) return false;
  if (key) t.ca_key = PEM_read_PrivateKey(fp, nullptr, nullptr, nullptr);
  else t.ca_cert = PEM_read_X509(fp, nullptr, nullptr, nullptr);
  fclose(fp);
  ERR_clear_error();
  return key ? t.ca_key != nullptr : t.ca_cert != nullptr;
}

X509 *certificate(FleetTls &t, EVP_PKEY *key, const char *id) {
  X509 *c = X509_new();
  bool ok = c != nullptr && X509_set_version(c, 2) == 1 &&
            ASN1_INTEGER_set_uint64(X509_get_serialNumber(c), t.serial + t.keys_made) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(c), -kBackdateS) != nullptr &&
            X509_gmtime_adj(X509_getm_notAfter(c), kValidS) != nullptr && X509_set_pubkey(c, key) == 1 &&
            X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_ASC,
                                       reinterpret_cast<const unsigned char *>(id), -1, -1, 0) == 1 &&
            X509_set_issuer_name(c, X509_get_subject_name(t.ca_cert)) == 1;
  for (int k = 0; ok && k < 3; k++) ok = X509_add_ext(c, t.ext[k], -1) == 1;
  if (ok && X509_sign(c, t.ca_key, EVP_sha256()) > 0) return c;
  X509_free(c);
  return nullptr;
}

EVP_PKEY *make_key(const FleetTls &t) {
  EC_KEY *ec = EC_KEY_new();
  EVP_PKEY *key = EVP_PKEY_new();
  if (ec == nullptr || key == nullptr || EC_KEY_set_group(ec, t.group) != 1 || EC_KEY_generate_key(ec) != 1 ||
      EVP_PKEY_assign_EC_KEY(key, ec) != 1) {
    EC_KEY_free(ec);
    EVP_PKEY_free(key);
    return nullptr;
  }
  return key;
}

}  // namespace

bool tls_load_ca(FleetTls &t, const char *key_path, const char *cert_path) {
  if (!read_pem(key_path, true, t)) {
    fprintf(stderr, "trm-fleet: --tls-ca-key %s: cannot read a private key (PEM, not encrypted)\n", key_path);
    return false;
  }
  if (!read_pem(cert_path, false, t)) {
    fprintf(stderr, "trm-fleet: --tls-ca-cert %s: cannot read a certificate (PEM)\n", cert_path);
    return false;
  }
  if (X509_check_private_key(t.ca_cert, t.ca_key) != 1) {
    ERR_clear_error();
    fprintf(stderr, "trm-fleet: --tls-ca-key %s is not the key of --tls-ca-cert %s\n", key_path, cert_path);
    return false;
  }
  t.group = EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1);
  if (t.group == nullptr) return false;
  X509V3_CTX v3;
  X509V3_set_ctx(&v3, t.ca_cert, nullptr, nullptr, nullptr, 0);
  for (int k = 0; k < 3; k++) {
    t.ext[k] = X509V3_EXT_conf_nid(nullptr, &v3, kExtensions[k].nid, kExtensions[k].value);
    if (t.ext[k] == nullptr) return false;
  }
  uint8_t r[4];
  RAND_bytes(r, sizeof r);
  t.serial = (static_cast<uint64_t>(r[0]) << 56 | static_cast<uint64_t>(r[1]) << 48 |
              static_cast<uint64_t>(r[2]) << 40 | static_cast<uint64_t>(r[3]) << 32) & ~(1ull << 63);
  return true;
}

bool tls_credentials(Fleet &f, uint32_t i) {
  FleetTls &t = *f.tls;
  if (t.certs[i] != nullptr) return true;
  const int64_t t0 = mono_us();
  EVP_PKEY *key = make_key(t);
  X509 *cert = key != nullptr ? certificate(t, key, f.gw[i].who.id) : nullptr;
  ERR_clear_error();
  if (cert == nullptr) {
    EVP_PKEY_free(key);
    return false;
  }
  t.keys[i] = key;
  t.certs[i] = cert;
  t.keys_made++;
  t.keys_us += static_cast<uint64_t>(mono_us() - t0);
  return true;
}

}  // namespace fleet

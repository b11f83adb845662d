// Key fingerprints: the SHA-256 of a certificate's SubjectPublicKeyInfo,
// and its text form.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "tlskit.h"

namespace tlskit {
namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool fingerprint(X509 *cert, Fingerprint *out) {
  unsigned char *der = nullptr;
  int n = cert ? i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der) : -1;
  if (n <= 0) return false;
  unsigned int len = 0;
  bool ok =
      EVP_Digest(der, static_cast<size_t>(n), out->data(), &len, EVP_sha256(), nullptr) == 1 &&
      len == out->size();
  OPENSSL_free(der);
  return ok;
}

std::string fp_hex(const Fingerprint &f) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out(2 * f.size(), '0');
  for (size_t i = 0; i < f.size(); i++) {
    out[2 * i] = kDigits[f[i] >> 4];
    out[2 * i + 1] = kDigits[f[i] & 15];
  }
  return out;
}

bool fp_parse(const char *text, size_t n, Fingerprint *out) {
  if (n != 2 * out->size()) return false;
  Fingerprint f{};
  for (size_t i = 0; i < f.size(); i++) {
    int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    f[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  *out = f;
  return true;
}

}  // namespace tlskit

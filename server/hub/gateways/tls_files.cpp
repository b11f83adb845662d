// What the secure link reads out of certificates, keys and the ticket
// secret, without a socket: the names a certificate gives, PEM text read
// (a key's fingerprint and whether it fits the link: tlskit).
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <string.h>

#include "gateways/tls.h"

namespace hub {
namespace {

constexpr size_t kMaxCerts = 16;  // a chain longer than this in one file is not a hub's

bool same_text(const ASN1_STRING *s, const std::string &id) {
  if (!s) return false;
  const unsigned char *p = ASN1_STRING_get0_data(s);
  int n = ASN1_STRING_length(s);
  return n >= 0 && static_cast<size_t>(n) == id.size() && memcmp(p, id.data(), id.size()) == 0;
}

// An IP subject name of four bytes, as dotted text.
bool same_ip(const ASN1_OCTET_STRING *s, const std::string &id) {
  if (!s || ASN1_STRING_length(s) != 4) return false;
  const unsigned char *p = ASN1_STRING_get0_data(s);
  std::string dotted =
      std::to_string(p[0]) + "." + std::to_string(p[1]) + "." + std::to_string(p[2]) + "." + std::to_string(p[3]);
  return dotted == id;
}

bool common_name_is(X509 *cert, const std::string &id) {
  const X509_NAME *name = X509_get_subject_name(cert);
  for (int i = -1; (i = X509_NAME_get_index_by_NID(name, NID_commonName, i)) >= 0;) {
    if (same_text(X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, i)), id)) return true;
  }
  return false;
}

bool alt_name_is(X509 *cert, const std::string &id) {
  auto *names = static_cast<GENERAL_NAMES *>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
  bool found = false;
  for (int i = 0; names && !found && i < sk_GENERAL_NAME_num(names); i++) {
    const GENERAL_NAME *g = sk_GENERAL_NAME_value(names, i);
    if (g->type == GEN_DNS) found = same_text(g->d.dNSName, id);
    if (g->type == GEN_IPADD) found = same_ip(g->d.iPAddress, id);
  }
  GENERAL_NAMES_free(names);
  return found;
}

}  // namespace

bool tls_names(X509 *cert, const std::string &id) {
  return cert && !id.empty() && (common_name_is(cert, id) || alt_name_is(cert, id));
}

std::vector<X509 *> tls_read_certs(BIO *in) {
  std::vector<X509 *> out;
  while (out.size() < kMaxCerts) {
    X509 *c = PEM_read_bio_X509(in, nullptr, nullptr, nullptr);
    if (!c) break;
    out.push_back(c);
  }
  ERR_clear_error();  // the end of the text reads as an error
  return out;
}

// No pass phrase is asked for: an encrypted key cannot be read.
int no_passphrase(char *, int, int, void *) { return -1; }

EVP_PKEY *tls_read_key(BIO *in, std::string *why) {
  EVP_PKEY *k = PEM_read_bio_PrivateKey(in, nullptr, no_passphrase, nullptr);
  if (!k) *why = "no private key in it (PEM; an encrypted key cannot be used)";
  ERR_clear_error();
  return k;
}

bool tls_parse_secret(const std::string &text, uint8_t out[32]) {
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  Fingerprint f{};  // as many bytes as the secret, in the same hex
  if (!fp_parse(t.data(), t.size(), &f)) return false;
  memcpy(out, f.data(), f.size());
  return true;
}

}  // namespace hub

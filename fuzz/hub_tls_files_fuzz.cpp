// What the hub reads out of certificates, keys and its TLS settings, on any
// content. The first byte picks the reader, the first line after it is the
// gateway ID a certificate is checked against, the rest is the input:
//   0  PEM certificates (a chain file): each one's key fingerprint, as hex
//      and parsed back, and whether it names the ID
//   1  one DER certificate, the same checks (the bytes a handshake hands over)
//   2  a PEM private key, and whether it is fit for the hub
//   3  the [gateways] table of a configuration (the tls_* settings), checked
//   4  text parsed as a fingerprint and as a ticket secret
// Checked beyond the sanitizers: a fingerprint's hex is 64 lower-case
// digits and reads back to the same bytes; a parsed fingerprint or secret
// prints back as its input in lower case.
#include <ctype.h>
#include <openssl/bio.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "core/config.h"
#include "core/hub.h"
#include "core/log.h"
#include "gateways/tls.h"

namespace {

[[noreturn]] void fail(const char *what) {
  fprintf(stderr, "hub_tls_files: %s\n", what);
  abort();
}

void check_cert(X509 *cert, const std::string &id) {
  hub::Fingerprint f{}, back{};
  if (tlskit::fingerprint(cert, &f)) {
    std::string hex = hub::fp_hex(f);
    if (hex.size() != 64 || !hub::fp_parse(hex.data(), hex.size(), &back) || back != f) fail("fingerprint text");
  }
  hub::tls_names(cert, id);
}

void read_pem_certs(const std::string &body, const std::string &id) {
  BIO *in = BIO_new_mem_buf(body.data(), static_cast<int>(body.size()));
  for (X509 *c : hub::tls_read_certs(in)) {
    check_cert(c, id);
    X509_free(c);
  }
  BIO_free(in);
}

void read_der_cert(const std::string &body, const std::string &id) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(body.data());
  X509 *c = d2i_X509(nullptr, &p, static_cast<long>(body.size()));
  if (c) check_cert(c, id);
  X509_free(c);
}

void read_key(const std::string &body) {
  BIO *in = BIO_new_mem_buf(body.data(), static_cast<int>(body.size()));
  std::string why;
  if (EVP_PKEY *k = hub::tls_read_key(in, &why)) {
    tlskit::key_unfit(k);
    EVP_PKEY_free(k);
  } else if (why.empty()) {
    fail("no key and no reason");
  }
  BIO_free(in);
}

void read_settings(const std::string &body) {
  hub::Config cfg;
  std::string err;
  if (hub::config_parse("[gateways]\n" + body, cfg, err)) hub::config_check(cfg, err);
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return s;
}

void read_hex(const std::string &body) {
  hub::Fingerprint f{};
  if (hub::fp_parse(body.data(), body.size(), &f) && hub::fp_hex(f) != lower(body)) fail("fingerprint round trip");
  uint8_t secret[32];
  if (!hub::tls_parse_secret(body, secret)) return;
  std::string t = body;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r')) t.pop_back();
  memcpy(f.data(), secret, f.size());
  if (hub::fp_hex(f) != lower(t)) fail("secret round trip");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  hub::log_mute(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  std::string rest(reinterpret_cast<const char *>(data) + 1, size - 1);
  size_t nl = rest.find('\n');
  std::string id = nl == std::string::npos ? "" : rest.substr(0, nl);
  std::string body = nl == std::string::npos ? rest : rest.substr(nl + 1);
  switch (data[0] % 5) {
    case 0: read_pem_certs(body, id); break;
    case 1: read_der_cert(body, id); break;
    case 2: read_key(body); break;
    case 3: read_settings(body); break;
    default: read_hex(body); break;
  }
  return 0;
}

// HTTPS for the API and the pages: libmicrohttpd's own TLS (GnuTLS) with
// the certificate and key the configuration names, read once at start.
// Only TLS 1.2 and 1.3, ECDHE key exchange and AEAD ciphers are offered.
#include <errno.h>
#include <microhttpd.h>
#include <stdio.h>
#include <string.h>

#include "web/http.h"

namespace hub {
namespace {

// GnuTLS priorities: no protocol below 1.2, forward secrecy, AEAD only.
constexpr const char *kPriorities =
    "SECURE128:-VERS-ALL:+VERS-TLS1.3:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+AES-256-GCM:+CHACHA20-POLY1305:"
    "-MAC-ALL:+AEAD:-KX-ALL:+ECDHE-ECDSA:+ECDHE-RSA:%SERVER_PRECEDENCE";
constexpr size_t kPemMax = 64 * 1024;

bool read_pem(const std::string &path, const char *what, std::string *out, std::string *why) {
  FILE *f = fopen(path.c_str(), "rb");
  if (!f) return *why = std::string("[http] ") + what + " " + path + ": " + strerror(errno), false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && out->size() <= kPemMax) out->append(buf, n);
  explicit_bzero(buf, sizeof buf);
  fclose(f);
  if (out->size() > kPemMax) return *why = std::string("[http] ") + what + " " + path + ": over 64 KiB", false;
  if (out->find("-----BEGIN ") == std::string::npos)
    return *why = std::string("[http] ") + what + " " + path + ": not a PEM file", false;
  return true;
}

}  // namespace

HttpsKeys::~HttpsKeys() { wipe(); }

void HttpsKeys::wipe() {
  if (!key.empty()) explicit_bzero(&key[0], key.size());
  key.clear();
  cert.clear();
}

bool https_load(const Config &c, HttpsKeys *k, std::string *why) {
  if (c.http_tls_cert.empty()) return true;
  if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES)
    return *why = "[http] tls_cert: this libmicrohttpd was built without TLS", false;
  return read_pem(c.http_tls_cert, "tls_cert", &k->cert, why) && read_pem(c.http_tls_key, "tls_key", &k->key, why);
}

size_t https_options(const HttpsKeys &k, MHD_OptionItem *out) {
  if (k.cert.empty()) return 0;
  out[0] = {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char *>(k.cert.c_str())};
  out[1] = {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char *>(k.key.c_str())};
  out[2] = {MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char *>(kPriorities)};
  return 3;
}

}  // namespace hub

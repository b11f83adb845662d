// The verify callback: the flags of the chain as mbedtls found them,
// adjusted for dates and for a pin, one certificate at a time from the top
// of the chain down to the hub's own (depth 0) last.
#include "tlsverify.h"

#include <stdio.h>
#include <string.h>

#include "tlsfile.h"
#include "tlskey.h"

#ifndef QYSC_BUILD_EPOCH
#define QYSC_BUILD_EPOCH 0
#endif

namespace {

constexpr uint32_t kDateFlags = MBEDTLS_X509_BADCERT_EXPIRED | MBEDTLS_X509_BADCERT_FUTURE |
                                MBEDTLS_X509_BADCRL_EXPIRED | MBEDTLS_X509_BADCRL_FUTURE;

bool pin_matches(const TlsConf *c, const mbedtls_x509_crt *crt) {
  unsigned char h[32];
  tls_spki_hash(crt->pk_raw.p, crt->pk_raw.len, h);
  return memcmp(h, c->pin, sizeof h) == 0;
}

}  // namespace

time_t tls_build_time(void) { return static_cast<time_t>(QYSC_BUILD_EPOCH); }

bool tls_dates_checked(time_t now) { return now >= tls_build_time(); }

int tls_verify(void *ctx, mbedtls_x509_crt *crt, int depth, uint32_t *flags) {
  TlsCheck *check = static_cast<TlsCheck *>(ctx);
  const TlsConf *c = check->conf;
  if (!tls_dates_checked(check->now)) *flags &= ~kDateFlags;
  const bool pinOnly = c->ca[0] == '\0';
  if (pinOnly) *flags = 0;  // no chain, name or dates: the key alone decides
  if (depth != 0 || c->havePin == 0) return 0;
  if (!pin_matches(c, crt)) {
    check->why = TlsRefusal::kPin;
    *flags |= MBEDTLS_X509_BADCERT_OTHER;
  }
  return 0;
}

int tls_ca_load(const char *path, mbedtls_x509_crt *chain) {
  if (path[0] == '\0') return 0;
  size_t len = 0;
  unsigned char *pem = tls_file_read(path, &len);
  if (pem == nullptr) return -1;
  mbedtls_x509_crt_parse(chain, pem, len);  // positive: some of several were not read
  tls_file_drop(pem, len);
  return chain->version != 0 ? 0 : -1;
}

namespace {

struct FlagText {
  uint32_t flag;
  const char *text;
};

constexpr FlagText kFlagTexts[] = {
    {MBEDTLS_X509_BADCERT_NOT_TRUSTED, "does not chain to the CA"},
    {MBEDTLS_X509_BADCERT_CN_MISMATCH, "is not for the server name"},
    {MBEDTLS_X509_BADCERT_EXPIRED, "has expired"},
    {MBEDTLS_X509_BADCERT_FUTURE, "is not valid yet"},
    {MBEDTLS_X509_BADCERT_BAD_KEY, "has a key other than EC P-256"},
    {MBEDTLS_X509_BADCERT_BAD_MD, "is signed with a weak hash"},
    {MBEDTLS_X509_BADCERT_KEY_USAGE, "is not for a server"},
    {MBEDTLS_X509_BADCERT_EXT_KEY_USAGE, "is not for a server"},
};

}  // namespace

void tls_verify_text(uint32_t flags, char *out, size_t size) {
  for (const FlagText &f : kFlagTexts) {
    if ((flags & f.flag) != 0) {
      snprintf(out, size, "%s", f.text);
      return;
    }
  }
  snprintf(out, size, "is not acceptable (flags 0x%x)", static_cast<unsigned>(flags));
}

// The acknowledged link's negotiation: the TLS application protocol
// (ALPN) ACK_ALPN, chosen when the gateway offers it. A client that offers
// none, or others only, goes on without one: the plain protocol.
#include <openssl/ssl.h>
#include <string.h>

#include "gateways/ack.h"

namespace hub {
namespace {

constexpr unsigned char kAlpn[] = "\x09" ACK_ALPN;  // length-prefixed, as ALPN lists go
static_assert(sizeof kAlpn - 2 == 9, "the prefix is the name's length");

int select_cb(SSL *, const unsigned char **out, unsigned char *outlen, const unsigned char *in, unsigned inlen,
              void *) {
  unsigned char *chosen = nullptr;
  if (SSL_select_next_proto(&chosen, outlen, kAlpn, sizeof kAlpn - 1, in, inlen) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_NOACK;
  }
  *out = chosen;
  return SSL_TLSEXT_ERR_OK;
}

}  // namespace

void ack_offer(SSL_CTX *ctx) { SSL_CTX_set_alpn_select_cb(ctx, select_cb, nullptr); }

bool ack_chosen(SSL *ssl) {
  const unsigned char *p = nullptr;
  unsigned n = 0;
  SSL_get0_alpn_selected(ssl, &p, &n);
  return n == sizeof kAlpn - 2 && memcmp(p, kAlpn + 1, n) == 0;
}

}  // namespace hub

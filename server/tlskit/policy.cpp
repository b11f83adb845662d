// The link's TLS policy, applied to a context, a server's end of a
// connection, and the key a server needs.
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <string.h>

#include "tlskit.h"

namespace tlskit {
namespace {

constexpr char kCiphers12[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-ECDSA-AES256-GCM-SHA384";
constexpr char kServerGroups[] = "P-256:X25519";
constexpr char kGatewayGroups[] = "P-256";
constexpr char kGatewaySigalgs[] = "ECDSA+SHA256";

bool gateway_only(SSL_CTX *ctx) {
  return SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION) == 1 &&
         SSL_CTX_set1_groups_list(ctx, kGatewayGroups) == 1 &&
         SSL_CTX_set1_sigalgs_list(ctx, kGatewaySigalgs) == 1;
}

}  // namespace

bool apply_policy(SSL_CTX *ctx, Role role) {
  bool ok = SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) == 1 &&
            SSL_CTX_set_cipher_list(ctx, kCiphers12) == 1;
  if (role == Role::kServer) {
    ok = ok && SSL_CTX_set1_groups_list(ctx, kServerGroups) == 1;
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
  } else {
    ok = ok && gateway_only(ctx);
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  return ok;
}

SSL *accept_on(SSL_CTX *ctx, int fd) {
  SSL *ssl = SSL_new(ctx);
  if (!ssl || SSL_set_fd(ssl, fd) != 1) {
    SSL_free(ssl);
    ERR_clear_error();
    return nullptr;
  }
  SSL_set_accept_state(ssl);
  return ssl;
}

std::string key_unfit(EVP_PKEY *key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) {
    return std::string("an ECDSA P-256 key is needed (the gateways speak ECDHE-ECDSA), not ") +
           (EVP_PKEY_get0_type_name(key) ? EVP_PKEY_get0_type_name(key) : "this kind") + " " +
           std::to_string(EVP_PKEY_get_bits(key));
  }
  char group[64] = "";
  size_t len = 0;
  if (!EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, &len)) {
    group[0] = 0;
  }
  ERR_clear_error();
  if (strcmp(group, "prime256v1") == 0 || strcmp(group, "P-256") == 0) return "";
  return std::string("an ECDSA key on P-256 is needed (the gateways' curve), not ") +
         (group[0] ? group : "this curve");
}

}  // namespace tlskit

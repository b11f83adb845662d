// The gateway listener's TLS context, read from the files the options name.
#include <errno.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "out.h"
#include "tls.h"
#include "tls_state.h"
#include "tlskit.h"

namespace console {

SSL_CTX *g_tls_ctx = nullptr;

namespace {

constexpr unsigned char kSessionContext[] = "trm-console";

bool g_has_ca = false;

bool fail(const char *option, const char *path, const std::string &why) {
  ERR_clear_error();
  out_line("error: %s %s: %s", option, path, why.c_str());
  return false;
}

// The file opened, or null after a line naming it.
FILE *open_file(const char *option, const char *path) {
  FILE *f = fopen(path, "r");
  if (!f) fail(option, path, std::string("cannot read: ") + strerror(errno));
  return f;
}

// No pass phrase is asked for: an encrypted key cannot be used.
int no_passphrase(char *, int, int, void *) { return -1; }

bool use_key(const char *path, const char *cert) {
  FILE *f = open_file("--tls-key", path);
  if (!f) return false;
  EVP_PKEY *key = PEM_read_PrivateKey(f, nullptr, no_passphrase, nullptr);
  fclose(f);
  if (!key)
    return fail("--tls-key", path, "no private key in it (PEM; an encrypted key cannot be used)");
  std::string unfit = tlskit::key_unfit(key);
  bool ok = unfit.empty() && SSL_CTX_use_PrivateKey(g_tls_ctx, key) == 1;
  EVP_PKEY_free(key);
  if (!unfit.empty()) return fail("--tls-key", path, unfit);
  if (!ok || SSL_CTX_check_private_key(g_tls_ctx) != 1) {
    return fail("--tls-key", path, std::string("does not match --tls-cert ") + cert);
  }
  return true;
}

bool use_cert(const char *path) {
  FILE *f = open_file("--tls-cert", path);
  if (!f) return false;
  fclose(f);
  if (SSL_CTX_use_certificate_chain_file(g_tls_ctx, path) != 1) {
    return fail("--tls-cert", path, "no certificate in it (PEM)");
  }
  return true;
}

bool use_ca(const char *path) {
  FILE *f = open_file("--tls-ca", path);
  if (!f) return false;
  fclose(f);
  STACK_OF(X509_NAME) *names = SSL_load_client_CA_file(path);
  if (!names || SSL_CTX_load_verify_locations(g_tls_ctx, path, nullptr) != 1) {
    sk_X509_NAME_pop_free(names, X509_NAME_free);
    return fail("--tls-ca", path, "no certificate in it (PEM)");
  }
  SSL_CTX_set_client_CA_list(g_tls_ctx, names);
  g_has_ca = true;
  return true;
}

// Without a CA every client key passes (its fingerprint is shown); with
// one the chain's own verdict stands.
int verify_cb(int ok, X509_STORE_CTX *) { return g_has_ca ? ok : 1; }

bool make_ctx() {
  g_tls_ctx = SSL_CTX_new(TLS_server_method());
  if (!g_tls_ctx || !tlskit::apply_policy(g_tls_ctx, tlskit::Role::kServer) ||
      SSL_CTX_set_session_id_context(g_tls_ctx, kSessionContext, sizeof kSessionContext - 1) != 1) {
    ERR_clear_error();
    out_line("error: TLS: cannot make the listener's context");
    return false;
  }
  // A packet goes out whole in one record: no partial writes.
  SSL_CTX_set_mode(g_tls_ctx, SSL_MODE_RELEASE_BUFFERS | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_CTX_set_verify(g_tls_ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verify_cb);
  SSL_CTX_set_verify_depth(g_tls_ctx, 4);
  return true;
}

}  // namespace

bool tls_setup(const char *cert, const char *key, const char *ca) {
  if (!cert) return true;
  bool ok = make_ctx() && use_cert(cert) && use_key(key, cert) && (!ca || use_ca(ca));
  if (!ok) tls_teardown();
  return ok;
}

bool tls_built() { return true; }

bool tls_enabled() { return g_tls_ctx != nullptr; }

void tls_own_pin(char *hex, size_t cap) {
  tlskit::Fingerprint f{};
  bool ok = g_tls_ctx && tlskit::fingerprint(SSL_CTX_get0_certificate(g_tls_ctx), &f);
  snprintf(hex, cap, "%s", ok ? tlskit::fp_hex(f).c_str() : "-");
}

void tls_teardown() {
  SSL_CTX_free(g_tls_ctx);
  g_tls_ctx = nullptr;
  g_has_ca = false;
}

}  // namespace console

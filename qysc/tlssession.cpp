// The kept session, serialised with mbedtls_ssl_session_save.
#include "tlssession.h"

#include <stdio.h>
#include <string.h>

#include <mbedtls/platform_util.h>

#include "qycomm.h"

namespace {

// A ticket (OpenSSL's holds the gateway's certificate too) and the hub's
// certificate: a kilobyte or two.
constexpr size_t kSessionMax = 4096;

unsigned char g_saved[kSessionMax];
size_t g_len = 0;
char g_for[48];
bool g_tooBigSaid = false;

void server_of(const char *host, int port, char *out, size_t size) {
  snprintf(out, size, "%s:%d", host, port);
}

}  // namespace

void tls_session_keep(mbedtls_ssl_context *ssl, const char *host, int port) {
  mbedtls_ssl_session s;
  mbedtls_ssl_session_init(&s);
  size_t len = 0;
  const bool saved = mbedtls_ssl_get_session(ssl, &s) == 0 &&
                     mbedtls_ssl_session_save(&s, g_saved, sizeof g_saved, &len) == 0;
  mbedtls_ssl_session_free(&s);
  g_len = saved ? len : 0;
  server_of(host, port, g_for, sizeof g_for);
  if (!saved && !g_tooBigSaid) PrintMsg("-- tls: the session could not be kept: no resumption\r\n");
  g_tooBigSaid = g_tooBigSaid || !saved;
}

void tls_session_offer(mbedtls_ssl_context *ssl, const char *host, int port) {
  char server[sizeof g_for];
  server_of(host, port, server, sizeof server);
  if (g_len == 0 || strcmp(server, g_for) != 0) return;
  mbedtls_ssl_session s;
  mbedtls_ssl_session_init(&s);
  if (mbedtls_ssl_session_load(&s, g_saved, g_len) == 0) mbedtls_ssl_set_session(ssl, &s);
  mbedtls_ssl_session_free(&s);
}

void tls_session_forget(void) {
  mbedtls_platform_zeroize(g_saved, sizeof g_saved);
  g_len = 0;
}

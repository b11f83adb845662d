// The secure link's connection: set up at connect, the handshake stepped a
// pass at a time, the session kept for the next connect, everything given
// back at the drop.
#include "tlslink.h"

#include <poll.h>
#include <stdio.h>
#include <string.h>

#include <mbedtls/net_sockets.h>

#include "daemon.h"
#include "net.h"
#include "qycomm.h"
#include "settings.h"
#include "ackstream.h"
#include "tlsarena.h"
#include "tlsconf.h"
#include "tlsconn.h"
#include "tlskey.h"
#include "tlsrand.h"
#include "tlssession.h"

TlsConn tlsConn = {};
TlsStats tlsStats = {};

namespace {

TlsConn &C = tlsConn;
TlsStats &S = tlsStats;

constexpr int kStepsPerPass = 32;

const int kSuites[] = {
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
#ifdef MBEDTLS_CHACHAPOLY_C
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
#endif
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
    0,
};
const mbedtls_ecp_group_id kCurves[] = {MBEDTLS_ECP_DP_SECP256R1, MBEDTLS_ECP_DP_NONE};
const int kHashes[] = {MBEDTLS_MD_SHA256, MBEDTLS_MD_NONE};

bool g_usable = false;  // tls.ini is on and names a way to check the hub
bool g_ack = false;     // the hub chose the acknowledged link on this one
const char *kAlpn[] = {ACK_ALPN, nullptr};

void configure(mbedtls_ssl_config *conf) {
  mbedtls_ssl_conf_min_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
  mbedtls_ssl_conf_max_version(conf, MBEDTLS_SSL_MAJOR_VERSION_3, MBEDTLS_SSL_MINOR_VERSION_3);
  mbedtls_ssl_conf_ciphersuites(conf, kSuites);
  mbedtls_ssl_conf_curves(conf, kCurves);
  mbedtls_ssl_conf_sig_hashes(conf, kHashes);
  mbedtls_ssl_conf_rng(conf, tls_rand_fill, tls_rand());
  // The chain's verdict is judged after the hub's certificate (tlsverify.h),
  // before anything of the client's own flight goes out.
  mbedtls_ssl_conf_authmode(conf, MBEDTLS_SSL_VERIFY_OPTIONAL);
  mbedtls_ssl_conf_verify(conf, tls_verify, &C.check);
  mbedtls_ssl_conf_session_tickets(conf, MBEDTLS_SSL_SESSION_TICKETS_ENABLED);
  mbedtls_ssl_conf_renegotiation(conf, MBEDTLS_SSL_RENEGOTIATION_DISABLED);
  if (tlsConf.ack != 0) mbedtls_ssl_conf_alpn_protocols(conf, kAlpn);
}

int setup() {
  if (mbedtls_ssl_config_defaults(&C.conf, MBEDTLS_SSL_IS_CLIENT, MBEDTLS_SSL_TRANSPORT_STREAM,
                                  MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
    return -1;
  }
  configure(&C.conf);
  if (tls_key_load(&tlsConf, &C.key, &C.cert) != 0 ||
      mbedtls_ssl_conf_own_cert(&C.conf, &C.cert, &C.key) != 0) {
    PrintMsg("--> tls: the gateway key or certificate could not be loaded\r\n");
    return -1;
  }
  if (tls_ca_load(tlsConf.ca, &C.ca) != 0) {
    PrintMsg("--> tls: no CA certificate could be read from %s\r\n", tlsConf.ca);
    return -1;
  }
  if (tlsConf.ca[0] != '\0') mbedtls_ssl_conf_ca_chain(&C.conf, &C.ca, nullptr);
  if (mbedtls_ssl_setup(&C.ssl, &C.conf) != 0) return -1;
  const char *name = tls_server_name(&tlsConf, baseInfo.ucServerIP);
  if (name[0] != '\0' && mbedtls_ssl_set_hostname(&C.ssl, name) != 0) return -1;
  mbedtls_ssl_set_bio(&C.ssl, &C.fd, tls_bio_send, tls_bio_recv, nullptr);
  tls_session_offer(&C.ssl, baseInfo.ucServerIP, baseInfo.usServerPort);
  return 0;
}

void release() {
  mbedtls_ssl_free(&C.ssl);
  mbedtls_ssl_config_free(&C.conf);
  mbedtls_x509_crt_free(&C.ca);
  mbedtls_x509_crt_free(&C.cert);
  mbedtls_pk_free(&C.key);
  C.open = false;
  C.fd = -1;
  const TlsArenaStats *a = tls_arena_stats();
  if (a->blocks != 0) PrintMsg("-- tls: %u bytes still held after the drop\r\n", a->inUse);
}

// Why a handshake failed, in words (the library's own error texts would
// cost the board tens of kilobytes).
const char *failure_text(int rc) {
  switch (rc) {
    case MBEDTLS_ERR_SSL_FATAL_ALERT_MESSAGE: return "the hub sent an alert";
    case MBEDTLS_ERR_SSL_CONN_EOF: return "the hub closed the connection";
    case MBEDTLS_ERR_NET_CONN_RESET: return "the connection was reset";
    case MBEDTLS_ERR_SSL_ALLOC_FAILED: return "out of memory";
    case MBEDTLS_ERR_SSL_INVALID_RECORD:
    case MBEDTLS_ERR_SSL_BAD_HS_PROTOCOL_VERSION:
    case MBEDTLS_ERR_SSL_BAD_HS_SERVER_HELLO: return "the hub does not speak TLS 1.2";
    case MBEDTLS_ERR_SSL_NO_USABLE_CIPHERSUITE: return "no cipher suite in common";
    default: return "a protocol error";
  }
}

int failed(int rc) {
  S.failures++;
  PrintMsg("--> tls: handshake failed: %s (-0x%04X), failures %u\r\n", failure_text(rc),
           static_cast<unsigned>(-rc), S.failures);
  tls_session_forget();
  return TLS_HS_FAILED;
}

int refused() {
  const uint32_t flags = mbedtls_ssl_get_verify_result(&C.ssl);
  if (C.check.why == TlsRefusal::kPin && (flags & ~MBEDTLS_X509_BADCERT_OTHER) == 0) {
    S.refusedPin++;
    PrintMsg("--> tls: hub refused: its key is not the pinned one, refusals %u\r\n", S.refusedPin);
  } else {
    char why[160];
    tls_verify_text(flags, why, sizeof why);
    S.refusedCert++;
    PrintMsg("--> tls: hub refused: its certificate %s, refusals %u\r\n", why, S.refusedCert);
  }
  tls_session_forget();
  return TLS_HS_FAILED;
}

int done() {
  S.handshakes++;
  if (!C.full) S.resumed++;
  S.lastMs = pass_ticks(nullptr) - C.start;
  C.done = true;
  PrintMsg("--> tls: handshake done, %s, %s, %u bytes out, %u in, %u round trips, %u ms\r\n",
           C.full ? "full" : "resumed", mbedtls_ssl_get_ciphersuite(&C.ssl), S.lastOut, S.lastIn,
           S.lastRoundTrips, S.lastMs);
  tls_session_keep(&C.ssl, baseInfo.ucServerIP, baseInfo.usServerPort);
  const char *alpn = mbedtls_ssl_get_alpn_protocol(&C.ssl);
  g_ack = alpn != nullptr && strcmp(alpn, ACK_ALPN) == 0;
  if (g_ack) PrintMsg("--> tls: the hub keeps the acknowledged link\r\n");
  return TLS_HS_DONE;
}

// One step; TLS_HS_MORE to go on in this pass, else the outcome (or -2:
// nothing to do until the socket is ready for what C.wants).
int step() {
  const int rc = mbedtls_ssl_handshake_step(&C.ssl);
  if (C.ssl.state == MBEDTLS_SSL_SERVER_CERTIFICATE) C.full = true;
  if (C.ssl.state > MBEDTLS_SSL_SERVER_CERTIFICATE && mbedtls_ssl_get_verify_result(&C.ssl) != 0) {
    return refused();
  }
  if (rc == 0) return C.ssl.state == MBEDTLS_SSL_HANDSHAKE_OVER ? done() : TLS_HS_MORE;
  if (rc != MBEDTLS_ERR_SSL_WANT_READ && rc != MBEDTLS_ERR_SSL_WANT_WRITE) return failed(rc);
  C.wants = rc == MBEDTLS_ERR_SSL_WANT_READ ? POLLIN : POLLOUT;
  return -2;
}

}  // namespace

void tls_start(void) {
  char path[CONFIG_PATH_MAX + 16];
  tls_conf_default(&tlsConf);
  tls_conf_path(configFile, path, sizeof path);
  if (tls_conf_read(&tlsConf, path) != 0 || tlsConf.enable == 0) return;  // the plain link
  const char *problem = tls_conf_problem(&tlsConf);
  g_usable = problem == nullptr;
  if (!g_usable) {
    PrintMsg("-- tls: %s is on but unusable: %s; the link stays down\r\n", path, problem);
    return;
  }
  const bool ca = tlsConf.ca[0] != '\0', pin = tlsConf.havePin != 0;
  PrintMsg("-- tls: on (%s), the hub checked by %s\r\n", path,
           ca && pin ? "its CA and its pin" : ca ? "its CA" : "its pin");
  tls_key_ready(&tlsConf, baseInfo.ucVirtualIP);
}

bool tls_on(void) { return tlsConf.enable != 0; }

bool tls_ready(void) {
  const int key = g_usable ? tls_key_ready(&tlsConf, baseInfo.ucVirtualIP) : TLS_KEY_BROKEN;
  const bool seeded = key == TLS_KEY_READY && tls_rand_ready();
  if (seeded) return true;
  const char *why = !g_usable                 ? "tls.ini names no usable check of the hub"
                    : key == TLS_KEY_BROKEN  ? "the gateway key is unusable"
                                             : "the kernel's random pool is not ready yet";
  S.notUsed++;
  PrintMsg("--> tls: not connecting: %s, refusals %u\r\n", why, S.notUsed);
  return false;
}

int tls_begin(int fd) {
  ArenaScope arena;
  C.fd = fd;
  C.open = true;
  C.done = C.torn = C.full = C.sent = false;
  C.start = pass_ticks(nullptr);
  C.wants = POLLOUT;
  C.check = TlsCheck{&tlsConf, time(nullptr), TlsRefusal::kNone};
  S.lastOut = S.lastIn = S.lastRoundTrips = 0;
  mbedtls_ssl_init(&C.ssl);
  mbedtls_ssl_config_init(&C.conf);
  mbedtls_x509_crt_init(&C.ca);
  mbedtls_x509_crt_init(&C.cert);
  mbedtls_pk_init(&C.key);
  if (setup() == 0) return 0;
  S.failures++;
  PrintMsg("--> tls: the connection could not be set up, failures %u\r\n", S.failures);
  release();
  return -1;
}

int tls_handshake_pass(void) {
  ArenaScope arena;
  if (pass_ticks(nullptr) - C.start > tlsConf.handshakeMs) {
    S.timeouts++;
    PrintMsg("--> tls: handshake not done within %u ms, time-outs %u\r\n", tlsConf.handshakeMs, S.timeouts);
    return TLS_HS_FAILED;
  }
  for (int i = 0; i < kStepsPerPass; i++) {
    const int rc = step();
    if (rc == -2) return TLS_HS_MORE;
    if (rc != TLS_HS_MORE) return rc;
    pass_clock_stale();  // a step may be a few hundred ms of arithmetic on the board
    ServiceWatchdog();
  }
  return TLS_HS_MORE;
}

short tls_handshake_events(void) { return C.wants; }

uint32_t tls_handshake_left_us(uint32_t now, uint32_t us) {
  return us_until(C.start + tlsConf.handshakeMs + 1, now, us);
}

void tls_end(int fd) {
  if (!tls_link(fd)) return;
  ArenaScope arena;
  if (C.done && !C.torn) mbedtls_ssl_close_notify(&C.ssl);  // one try, never waited for
  release();
  g_ack = false;
}

bool tls_ack(void) { return g_ack; }

const TlsStats *tls_stats(void) { return &S; }

void tls_reset(void) {
  tls_conf_default(&tlsConf);
  tls_session_forget();
  tls_key_forget();
  g_usable = false;
  g_ack = false;
  S = TlsStats{};
}

// TLS exposures: mutual TLS on an exposure's clients, the same policy and
// ticket machinery as the secure link's listener (tls.h). "modbus-tls" is
// Modbus/TCP Security: the unchanged MBAP frames inside TLS 1.2 or 1.3, a
// client certificate signed by [modbus] tls_ca required, and the role its
// certificate carries (mbroles.h) deciding what it may ask: a read role
// only the read function codes (anything else is answered 0x01, counted,
// logged and audited), an operate role everything. "raw-tls" and
// "rfc2217-tls" take the same TLS and let only operate roles in (raw bytes
// cannot be read-only).
//
// A client is refused, counted by reason and logged, before a byte of it
// reaches the gateway: plain bytes, a handshake that fails, is cut or is
// not done within [modbus] tls_handshake_s, no certificate, another CA's,
// no role, a role not in [modbus] roles, a read role where only operate
// roles are let in.
#ifndef HUB_GATEWAYS_EXP_TLS_H
#define HUB_GATEWAYS_EXP_TLS_H

#include <openssl/types.h>
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/config.h"
#include "core/hub.h"
#include "gateways/tls.h"

namespace hub {

struct ExpClient;

// Why a TLS exposure refused a client (trm_hub_exposure_tls_refused_total{reason}).
enum class ExpRefusal : uint8_t {
  kPlain,             // plain bytes (a plain Modbus client on the TLS port)
  kHandshake,         // the handshake failed (protocol, ciphers, a bad message)
  kHandshakeCut,      // the peer left half-way through it
  kHandshakeTimeout,  // not done within [modbus] tls_handshake_s
  kNoCert,            // no client certificate
  kWrongCa,           // a certificate [modbus] tls_ca did not sign
  kNoRole,            // no role in the certificate
  kUnknownRole,       // a role not in [modbus] roles (or not one UTF8String)
  kReadOnly,          // a read role on a raw or rfc2217 exposure
  kCount
};
inline constexpr const char *kExpRefusalNames[] = {"plain",    "handshake", "handshake_cut", "handshake_timeout",
                                                   "no_cert",  "wrong_ca",  "no_role",       "unknown_role",
                                                   "read_only"};
static_assert(sizeof kExpRefusalNames / sizeof kExpRefusalNames[0] == static_cast<size_t>(ExpRefusal::kCount),
              "a name for every refusal");
static_assert(sizeof(Metrics::exp_tls_refused) / sizeof(uint64_t) == static_cast<size_t>(ExpRefusal::kCount),
              "a counter for every refusal");

// The listeners' context, made at start when [modbus] tls_ca is set.
struct ExpTls {
  ExpTls() = default;
  ~ExpTls();
  ExpTls(const ExpTls &) = delete;
  ExpTls &operator=(const ExpTls &) = delete;
  SSL_CTX *ctx = nullptr;
  TicketKeys tickets;  // a random secret: tickets resume within this run of the hub
  uint32_t handshake_ms = 10000;
  std::vector<ExpClient *> handshaking;  // for their time-out
  std::vector<ExpClient *> pending;      // decrypted bytes wait inside OpenSSL
};

// A client's TLS state (its SSL freed by exp_tls_end, or with it when the
// hub ends with the client still there).
struct ExpTlsClient {
  ExpTlsClient() = default;
  ~ExpTlsClient();
  ExpTlsClient(const ExpTlsClient &) = delete;
  ExpTlsClient &operator=(const ExpTlsClient &) = delete;
  SSL *ssl = nullptr;  // made when its first byte shows a handshake
  uint32_t opened_at = 0;
  bool ready = false;  // handshake done, role let in
  bool listed = false;
  bool read_wants_write = false;
  MbPerm perm = MbPerm::kRead;
  std::string role, name;  // its role, and its certificate's common name
  unsigned refused = 0;    // requests refused for its role
};

// The context, when [modbus] tls_ca is set: false with a reason naming the
// setting (warnings for what works but should not be so). --check: the
// same files read, nothing kept.
bool exp_tls_open(Hub &h, std::vector<std::string> *warnings, std::string *why);
bool exp_tls_check(const Config &cfg, std::vector<std::string> *warnings, std::string *why);

// A client of a TLS exposure connected: its handshake begins.
void exp_tls_start(Hub &h, ExpClient &c);
// Its socket's events: the handshake, then records read and handed on
// (at most room bytes, as a plain client's).
void exp_tls_events(Hub &h, ExpClient &c, uint32_t events, uint8_t *buf, size_t cap);
// SSL_write: bytes taken, -1 no room now, -2 failed (why).
long exp_tls_write(ExpClient &c, const uint8_t *p, size_t n, const char **why);
// Its end: close_notify when the handshake was done, the TLS state freed.
void exp_tls_end(Hub &h, ExpClient &c);
// Handshake time-outs and decrypted bytes left from the last read (every
// pass); true while bytes wait.
bool exp_tls_tick(Hub &h);

// A request the client's role may not send: counted, and logged and
// audited (the first kAuditedRefusals of a connection; the count is in its
// closing line).
constexpr unsigned kAuditedRefusals = 8;
void exp_tls_refused_request(Hub &h, ExpClient &c, const uint8_t *adu);

}  // namespace hub

#endif

// The secure link (OpenSSL): mutual TLS between gateway and hub, beside the
// plain port. The listener's context (tls.cpp: TLS 1.2 and up, the
// ECDHE-ECDSA ciphers the gateways speak, a client certificate required,
// stateless session tickets), a connection's TLS state and its handshake
// (tls_link.cpp), and what is read out of certificates and key files
// (tls_files.cpp). Who a key may be is decided in identity.h.
//
// Idle connections keep no record buffers (SSL_MODE_RELEASE_BUFFERS); the
// TLS object is made only when the first byte shows a handshake. Bytes
// OpenSSL has decrypted but not handed over raise no epoll event: a session
// that stopped at the per-event bound with bytes left waits in
// TlsServer::pending for the next pass.
#ifndef HUB_GATEWAYS_TLS_H
#define HUB_GATEWAYS_TLS_H

#include <openssl/types.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "core/config.h"
#include "core/hub.h"

namespace hub {

// Session tickets are sealed with keys derived from a secret for each
// period of session_hours: the period's, and the one before and after
// (a ticket lives at most one period; hubs' clocks differ a little).
struct TicketKey {
  int64_t period = -1;
  uint8_t name[16] = {}, aes[32] = {}, mac[32] = {};
};
struct TicketKeys {
  uint8_t secret[32] = {};
  int64_t period_s = 86400;
  TicketKey keys[3];  // the period before, now, after
};

// What a TLS listener serves with: the hub's certificate (chain) and key
// (an ECDSA P-256 key), the CA its clients' certificates are checked
// against (PEM files), and its sessions' own context (a session is resumed
// only on a listener of the same context).
struct TlsIdentity {
  std::string cert, key, ca;
  const char *session_context;
};

struct TlsServer {
  TlsServer() = default;
  ~TlsServer();
  TlsServer(const TlsServer &) = delete;
  TlsServer &operator=(const TlsServer &) = delete;

  SSL_CTX *ctx = nullptr;
  bool has_ca = false;   // tls_ca is set: a chain to it may admit at once
  bool ca_only = false;  // and nothing else is let in
  uint32_t handshake_ms = 10000;
  TicketKeys tickets;
  std::vector<Session *> pending;  // decrypted bytes wait inside OpenSSL
};

struct TlsLink {
  SSL *ssl = nullptr;             // made when the first byte shows a handshake
  Fingerprint key{};              // the peer's key, once the handshake is done
  bool factory = false;           // its certificate chains to tls_ca, in date
  bool listed = false;            // in TlsServer::pending
  bool read_wants_write = false;  // a read waits for the socket to take bytes
};

// tls.cpp. The listener's context from the settings: the hub's certificate
// and key (an ECDSA P-256 key), the factory CA, the ticket secret (made,
// mode 0600, when its file is missing). false with a reason naming the key
// and the file; warnings for what works but should not be so.
bool tls_open(const Config &cfg, TlsServer *t, std::vector<std::string> *warnings, std::string *why);
// --check: the same reading, nothing made.
bool tls_check(const Config &cfg, std::vector<std::string> *warnings, std::string *why);
// The ticket key of a period (derived from the secret); tls.cpp.
TicketKey tls_ticket_key(const uint8_t secret[32], int64_t period);
// Another listener's context (the TLS exposures'): the same policy, the
// identity's files read (errors name them under `section`), a client
// certificate the CA signed required (OpenSSL's verification, no
// exception), tickets sealed with keys of a random secret (tickets must
// outlive the context). null with why.
SSL_CTX *tls_server_ctx(const char *section, const TlsIdentity &id, TicketKeys *tickets,
                        std::vector<std::string> *warnings, std::string *why);

// tls_link.cpp. A connection on the TLS port (kHandshake until its
// handshake is done), its events while it lasts, its reads and writes
// (as gw_read and gw_write), its end (from gw_end), and the sessions with
// decrypted bytes waiting (every pass; true while some are left).
Session &gw_open_tls(Hub &h, int fd, uint32_t addr, uint16_t port);
void tls_on_events(Hub &h, Session &s, uint32_t events);
void tls_read(Hub &h, Session &s);
long tls_write(Session &s, const uint8_t *p, size_t n, const char **why);
void tls_end(Hub &h, Session &s);
bool tls_pump(Hub &h);
// The peer's certificate names id (its CN or a DNS or IP subject name).
bool tls_peer_names(const Session &s, const std::string &id);
// What a failed handshake (SSL_do_handshake's error err) is, with its text
// (ca_name: whose certificates are let in); cut, no certificate, another
// CA's, or failed otherwise.
TlsRefusal tls_failure(SSL *ssl, int err, const char *ca_name, std::string *text);
// SSL_write of what the socket takes: bytes taken, -1 no room, -2 failed (why).
long tls_write_ssl(SSL *ssl, const uint8_t *p, size_t n, const char **why);

// tls_files.cpp, without sockets. Whether a certificate names id; PEM
// text read into a certificate list or a key (null with why); a ticket
// secret's text (64 hex digits, a line end allowed). A key's fingerprint
// and whether it fits: tlskit.h.
bool tls_names(X509 *cert, const std::string &id);
std::vector<X509 *> tls_read_certs(BIO *in);
EVP_PKEY *tls_read_key(BIO *in, std::string *why);
bool tls_parse_secret(const std::string &text, uint8_t out[32]);

}  // namespace hub

#endif

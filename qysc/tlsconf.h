// The secure link's settings: tls.ini beside the configuration file in use,
// key=value lines like it, read at start and never written by the daemon
// (so "@SAVE", which rewrites the configuration file, cannot lose them).
#ifndef QYSC_TLSCONF_H
#define QYSC_TLSCONF_H

#include <stddef.h>
#include <stdint.h>

#include "retain.h"

#define TLS_PATH_MAX 256
#define TLS_NAME_MAX 64
#define TLS_PIN_LEN 32                 // SHA-256
#define TLS_HANDSHAKE_MS_DEFAULT 10000
#define TLS_HANDSHAKE_MS_MIN 1000
#define TLS_HANDSHAKE_MS_MAX 120000

struct TlsConf {
  int enable;                  // "enable=1": the link runs over TLS
  char ca[TLS_PATH_MAX];       // "ca=": PEM file of the CA(s) the hub's certificate chains to
  uint8_t pin[TLS_PIN_LEN];    // "pin=": SHA-256 of the hub's SubjectPublicKeyInfo
  int havePin;                 // a valid pin was read
  int badPin;                  // a "pin=" line that was not 64 hex digits
  char name[TLS_NAME_MAX];     // "name=": SNI, and the name checked with ca=
  char key[TLS_PATH_MAX];      // "key=": the gateway's private key (PEM)
  char cert[TLS_PATH_MAX];     // "cert=": the gateway's certificate (PEM)
  uint32_t handshakeMs;        // "handshake_ms=": bound on a handshake
  int ack;                     // "ack=0" turns the acknowledged link off (acklink)
  uint32_t retainKb;           // "retain_kb=": its retained buffer (retain.h)
};

// The settings in force (tls_conf_load fills it).
extern TlsConf tlsConf;

// Defaults: off, no CA, no pin, key and certificate in /quarne/qysc/tls/.
void tls_conf_default(TlsConf *c);
// One line (NUL-terminated; its CR/LF is cut); unknown keys are ignored.
void tls_conf_line(TlsConf *c, char *line);
// Reads the file at path over the defaults; 0 read, -1 no such file.
int tls_conf_read(TlsConf *c, const char *path);
// The problem that keeps an enabled link from running, or null: TLS is
// never used without a way to check the hub.
const char *tls_conf_problem(const TlsConf *c);
// tls.ini's path for a configuration file path (same folder).
void tls_conf_path(const char *configPath, char *out, size_t size);
// The name sent and checked: "name=", else the server's host when it is a
// name rather than a dotted address, else "" (none).
const char *tls_server_name(const TlsConf *c, const char *serverHost);

#endif

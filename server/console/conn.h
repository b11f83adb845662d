// A gateway's connection: its socket, with TLS over it when the listener
// speaks TLS (tls.h). Reads and writes look the same either way.
#ifndef CONSOLE_CONN_H
#define CONSOLE_CONN_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "tls.h"

namespace console {

struct Conn {
  int fd;
  TlsConn *tls;     // null on the plain link
  bool up;          // the handshake is done (the plain link: at once)
  uint32_t opened;  // when it was accepted
};

// Takes the accepted socket; false (the socket left open) without memory
// for its TLS state.
bool conn_open(Conn &c, int fd, uint32_t now);

// One step of the handshake: 1 done (key_hex holds the client's key's
// fingerprint), 0 again, -1 failed (why). The handshake's time is checked
// by conn_expired.
int conn_handshake(Conn &c, char *why, size_t cap, char *key_hex, size_t key_cap);
bool conn_expired(const Conn &c, uint32_t now);

// As recv and send: bytes (> 0), 0 the peer closed, -1 again, -2 failed (why).
ssize_t conn_read(Conn &c, uint8_t *buf, size_t cap, const char **why);
ssize_t conn_write(Conn &c, const uint8_t *p, size_t n, const char **why);

// The poll events to wait for (out: bytes wait to go).
short conn_events(const Conn &c, bool out);
// Bytes already read wait inside TLS (poll shows nothing for them).
bool conn_pending(const Conn &c);

void conn_close(Conn &c);

}  // namespace console

#endif

// Inside the console's TLS (tls_ctx.cpp, tls.cpp): the listener's context
// and a connection's state.
#ifndef CONSOLE_TLS_STATE_H
#define CONSOLE_TLS_STATE_H

#include <openssl/types.h>

namespace console {

extern SSL_CTX *g_tls_ctx;  // null: the listener speaks the plain link

struct TlsConn {
  SSL *ssl;
  int fd;
  bool started;     // the first byte showed a handshake record
  bool want_write;  // the last step or I/O waits for the socket
  char why[128];    // the last failure's text
};

}  // namespace console

#endif

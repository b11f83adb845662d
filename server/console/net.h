// Socket helpers: non-blocking listeners and accepted connections.
#ifndef CONSOLE_NET_H
#define CONSOLE_NET_H

#include <stddef.h>
#include <stdint.h>

namespace console {

// A non-blocking IPv4 TCP listener on addr:port (port 0: any free port).
// Returns the descriptor and the port it got, or -1 with a message in err.
int net_listen(const char *addr, int port, int *bound_port, char *err, size_t cap);

// Accepts one connection, non-blocking and without delay on small writes.
// Returns the descriptor (peer "a.b.c.d:port" in peer) or -1.
int net_accept(int lfd, char *peer, size_t cap);

}  // namespace console

#endif

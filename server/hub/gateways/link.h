// The transport under a gateway connection, plain TCP or TLS (tls.h): the
// loop's events, reads handed to gw_on_wire, and writes for the send
// queue. On the plain port each is the system call it always was.
#ifndef HUB_GATEWAYS_LINK_H
#define HUB_GATEWAYS_LINK_H

#include <stddef.h>
#include <stdint.h>

#include "core/hub.h"

namespace hub {

// What the loop saw on the connection (epoll events).
void gw_on_events(Hub &h, Session &s, uint32_t events);
// What the connection has, at most kReadChunk bytes, to gw_on_wire; its
// end when the peer closed or the link failed.
void gw_read(Hub &h, Session &s);
// Bytes taken (>= 0); -1: no room now; -2: the link failed (why).
long gw_write(Session &s, const uint8_t *p, size_t n, const char **why);

}  // namespace hub

#endif

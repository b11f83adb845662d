// Listening and accepting (IPv4, non-blocking, close-on-exec).
#ifndef HUB_NET_H
#define HUB_NET_H

#include <stdint.h>

#include <string>

namespace hub {

// A listener on host:port (port 0: a free one, told in *bound). -1 with a
// reason.
int net_listen(const std::string &host, int port, int *bound, std::string *why);
// The next connection (non-blocking, no Nagle delay), or -1 when none waits.
int net_accept(int lfd, uint32_t *addr, uint16_t *port);

}  // namespace hub

#endif

// A gateway's bridged port (1 or 2) exposed as a Modbus TCP server: each
// client request goes to the gateway unchanged as a port section, one at a
// time per port, and the Modbus TCP response that comes back in a section
// of the same port goes to the client that asked.
#ifndef CONSOLE_MODBUS_H
#define CONSOLE_MODBUS_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

#include "mbtcp.h"

namespace console {

constexpr int kMaxExposures = 4;
constexpr int kMaxClients = 8;          // per exposed port
constexpr size_t kModbusQueue = 16;     // requests waiting per exposed port
constexpr size_t kClientOut = 4 * mbtcp::kAduMax;

void mb_setup(uint32_t timeout_ms);

// Opens a listener for gateway gw, section port. Returns the TCP port or -1.
int mb_expose(int gw, unsigned port, const char *addr, int tcp_port);

// Takes a connected socket as a client of gateway gw's exposed port (the
// listener does this with each connection it accepts): false when there
// is no such exposure or every client slot is taken (the socket is then
// closed).
bool mb_adopt(int gw, unsigned port, int fd, const char *peer);

// Entries for poll, and their handling after it (same order).
int mb_fill(pollfd *fds, int room);
void mb_serve(const pollfd *fds, int count);

// Forwards waiting requests, answers time-outs and vanished gateways.
void mb_tick(uint32_t now);

// A section that arrived from a gateway (the receiver's callback).
void mb_on_section(void *ctx, int gw, unsigned port, const uint8_t *data, size_t len);

void mb_list();
void mb_close_all();


}  // namespace console

#endif

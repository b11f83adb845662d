// The gateways connected to the console: one slot each, numbered from 1
// (the lowest free number goes to a new connection). Every packet to a
// gateway is written whole in one write, and packets are spaced apart,
// because the gateway takes one read as one packet.
#ifndef CONSOLE_GATEWAYS_H
#define CONSOLE_GATEWAYS_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>

#include "receiver.h"

namespace console {

constexpr int kMaxGateways = 8;
constexpr size_t kOutQueue = 8;  // packets waiting per gateway
constexpr size_t kServerHeadLen = kPrefixMin + 1 + 4;  // no IP text, one section
constexpr size_t kSectionMax = kPacketMax - kServerHeadLen;

// Lays out a server packet (type 1, empty IP text, one section) in plain
// bytes; returns its length, or 0 when the data do not fit.
size_t build_packet(unsigned port, const uint8_t *data, size_t n, uint8_t *out, size_t cap);

// gap_ms: least time between two packets to one gateway.
void gw_setup(uint32_t gap_ms, SectionFn on_section, void *ctx);

void gw_accept(int lfd);

// Takes a connected socket as a new gateway (gw_accept does this with each
// connection it accepts): its number, or 0 when every slot is taken (the
// socket is then closed).
int gw_adopt(int fd, const char *peer);

// Poll entries of the connected gateways; gw_serve takes the same entries
// back after poll.
int gw_fill(pollfd *fds, int room);
void gw_serve(const pollfd *fds, int count, uint32_t now);

// Timed work: spaced sends, heartbeat runs.
void gw_tick(uint32_t now);

// Connection number of gateway id (changes on every new connection), 0
// when not connected.
uint32_t gw_generation(int id);

// True once the gateway's first sound packet has arrived; packets to it
// wait until then.
bool gw_ready(int id);

// Queues one section for gateway id. 0, or -1 not connected, -2 queue
// full, -3 too long.
int gw_send(int id, unsigned port, const uint8_t *data, size_t n);

// Sends the challenge (x, y) and arms the check of the answer.
int gw_verify(int id, uint8_t x, uint8_t y);

void gw_close(int id, const char *why);
void gw_close_all(const char *why);
void gw_list();

// True when no gateway has packets waiting to go out.
bool gw_drained();

}  // namespace console

#endif

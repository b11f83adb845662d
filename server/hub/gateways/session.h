// Gateway connections: the byte stream cut into packets, every packet
// acted on, the gateway known by its ID, and packets to it queued and sent
// by the gateway's rules (one packet per write, a gap between packets,
// nothing before its init packet, a small bounded queue).
#ifndef HUB_GATEWAYS_H
#define HUB_GATEWAYS_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "core/hub.h"

namespace hub {

constexpr size_t kReadChunk = 16384;  // read per event and connection: no one hogs the loop

// A new connection (fd -1: none, for tests and fuzzing); on the TLS port
// gw_open_tls (tls.h).
Session &gw_open(Hub &h, int fd, uint32_t addr, uint16_t port);
// Its peer's address and port, for log lines.
std::string gw_peer_text(const Session &s);

// Bytes received on the connection, scrambled as they came; unscrambled in
// place, framed and acted on.
void gw_on_wire(Hub &h, Session &s, uint8_t *wire, size_t n);

// The connection ends (said once in the log); its descriptor is closed and
// the session freed by hub_reap.
void gw_end(Hub &h, Session &s, const char *why);
// A refusal whose reason lasts, of (its address, who): the connection will
// be held open and silent before its close (core/hold.h); what the log says
// of it (" (held 15 s before the close)", or nothing).
std::string gw_hold(Hub &h, Session &s, const std::string &who);

// Queues one section for the gateway: 0, or -1 not online, -2 its queue
// is full, -3 too long for one packet.
int gw_send(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n);
bool gw_has_room(const Hub &h, const GatewayRecord &r);
// One section into a session's queue as it is (the acknowledged link's
// own messages and kept bursts): 0, or -2 full, -3 too long.
int gw_enqueue(Hub &h, Session &s, uint16_t port, const uint8_t *data, size_t n);

// Writes the packets whose turn has come (every pass), and the rest of a
// half-written one once the socket has room.
void gw_pump(Hub &h);
void gw_writable(Hub &h, Session &s);
// Milliseconds until the next queued packet's turn; -1 when none waits.
int gw_next_due(const Hub &h);

// Once a second: init and idle time-outs, scheduled verify challenges.
void gw_tick(Hub &h);
// The same in slices, so a big fleet's sweep never holds up one pass: a
// sweep starts once a second, and each pass checks at most `most` more
// sessions; true while some are left.
void gw_tick_start(Hub &h);
bool gw_tick_some(Hub &h, size_t most);

// ID conflicts (clash.cpp): a connection from new_addr replaced the one
// from old_addr under r's ID; once a second, conflicts over are cleared.
void gw_clash_turn(Hub &h, GatewayRecord &r, uint32_t old_addr, uint32_t new_addr);
void gw_clash_tick(Hub &h);

// The admission of a connected gateway was changed by the API.
void gw_readmit(Hub &h, GatewayRecord &r);

// What the gateways announce. Each module above fills in a row, naming
// the slots of the events it takes (the rest stay null):
//   const GatewayHooks kMyHooks = [] { GatewayHooks row{}; row.online = my_online; return row; }();
// the rows, in the order they hear an event, make a constant table
// (modules.cpp). Nothing here calls a module above but through this table.
struct GatewayHooks {
  // The record changed; urgent: its online state did.
  void (*changed)(Hub &h, GatewayRecord &r, bool urgent);
  // A packet came from the introduced gateway (last_seen is now).
  void (*seen)(Hub &h, GatewayRecord &r);
  // A new connection introduced itself as the gateway.
  void (*online)(Hub &h, GatewayRecord &r);
  // Its connection ended, or it was held: whatever waits on it ends.
  void (*offline)(Hub &h, GatewayRecord &r);
  // The scheduled verify challenge of its connection is due.
  void (*verify_due)(Hub &h, GatewayRecord &r);
  // A section of serial port 1 or 2 of an admitted gateway, and a section
  // on a command channel (port 256, 257 or 258): true when taken, and the
  // rows after do not hear of it.
  bool (*port_section)(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n);
  bool (*channel_reply)(Hub &h, GatewayRecord &r, uint16_t port, const uint8_t *data, size_t n);
  // A packet to it went out: its send queue has room again.
  void (*drained)(Hub &h, GatewayRecord &r);
};
extern const GatewayHooks *const kGatewayHooks[];  // ends with null

// Every row that takes the event hears of it, in order.
template <typename Hook, typename... Args>
void gw_announce(Hook GatewayHooks::*hook, Hub &h, GatewayRecord &r, Args... args) {
  for (const GatewayHooks *const *row = kGatewayHooks; *row; row++) {
    if ((*row)->*hook) ((*row)->*hook)(h, r, args...);
  }
}

// The record changed (a field, a counter worth storing): every row hears
// of it; urgent when its online state changed.
void gw_changed(Hub &h, GatewayRecord &r, bool urgent);

}  // namespace hub

#endif

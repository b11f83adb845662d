// The acknowledged link on the hub's side: chosen in the secure link's
// handshake (the application protocol ACK_ALPN, when [gateways] ack is on
// and the gateway offers it), then run by the rules of qylink/ackstream.h
// over the state the hub keeps per gateway (core/ack.h). A link that did
// not choose it is the plain protocol, unchanged.
//
//   * the init packet in: the hub's hello (where its stream to the gateway
//     stands, how far it has the gateway's);
//   * the gateway's hello: where the gateway's stream goes on (and the
//     bytes lost from it), and the hub's bursts the gateway lacks sent
//     again, in order; no line bytes go to it before, they wait;
//   * line sections counted as taken, acknowledged when ack_due says;
//   * the gateway's acknowledgement frees the bursts it has;
//   * a message that does not parse, out of turn, or claiming bytes never
//     sent: logged, counted, the link dropped.
#ifndef HUB_GATEWAYS_ACK_H
#define HUB_GATEWAYS_ACK_H

#include <openssl/types.h>
#include <stddef.h>
#include <stdint.h>

#include "core/ack.h"
#include "gateways/session.h"

namespace hub {

// tls_ack.cpp: the listener's context chooses ACK_ALPN when offered; after
// the handshake, whether it did.
void ack_offer(SSL_CTX *ctx);
bool ack_chosen(SSL *ssl);

// The init packet of a new link that chose the extension came.
void ack_on_init(Hub &h, Session &s, GatewayRecord &r);
// A section of such a link, before anyone else hears of it: the
// extension's own (taken), or a line's (counted). false when the link was
// dropped for it.
bool ack_on_section(Hub &h, Session &s, GatewayRecord &r, uint16_t port, size_t n, const uint8_t *data);
// A line's bytes for the gateway (as gw_send): kept until acknowledged,
// sent when the link may carry them.
int ack_send(Hub &h, Session &s, GatewayRecord &r, int line, const uint8_t *data, size_t n);
// Whether a raw sender's bytes for the gateway go through its ring (online
// on the extension, or away after it), and then how many it takes now: as
// many packets as the send queue has room for while nothing waits in the
// ring (so reads come whole, as on the plain link), none while it is away
// (they wait in the sender's socket for its next link).
bool ack_room(const Hub &h, const GatewayRecord &r, size_t *room);
// The init packet of a link that did not choose it: what was kept for the
// gateway can no longer reach it and is counted lost.
void ack_on_plain_init(Hub &h, GatewayRecord &r);
// Once a second per link: an acknowledgement due by time.
void ack_tick(Hub &h, Session &s);
// A packet to the gateway went out: more of its bursts may follow.
extern const GatewayHooks kAckHooks;

}  // namespace hub

#endif

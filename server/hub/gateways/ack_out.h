// Within the acknowledged link's two files (ack.cpp: the state and what
// goes to the gateway; ack_in.cpp: what comes from it).
#ifndef HUB_GATEWAYS_ACK_OUT_H
#define HUB_GATEWAYS_ACK_OUT_H

#include "core/ack.h"
#include "gateways/session.h"

namespace hub {

// r's state, made (with its generation) when it has none.
AckState &ack_state_of(Hub &h, GatewayRecord &r);
// After a's ring changed from holding `before` bytes: the gauge in step,
// the ring's memory given back when it holds nothing.
void ack_settle(Hub &h, AckState &a, uint32_t before);
// An acknowledgement of what was taken (later, when the queue is full).
void ack_send_ack(Hub &h, Session &s, AckState &a);
// A gap of n bytes of a line before offset `to`, from the gateway (in) or
// to it: counted, kept as the last gap, logged once.
void ack_note_loss(Hub &h, const GatewayRecord &r, AckLoss &l, int line, uint64_t n, uint64_t to, bool in);
// The bursts the gateway lacks, as the queue has room, once its hello came.
void ack_flush(Hub &h, Session &s, AckState &a);

}  // namespace hub

#endif

// The acknowledged link's retained bytes, as bursts in a ring over memory
// the caller gives (nothing here allocates): each burst is one section's
// data of a line, kept whole and in order until the peer has it. A burst
// goes out once; after the peer's hello the ring rewinds to where the
// peer stands and sends what the peer lacks, skipping what it has (a
// burst of one line that waits behind the other line's is not sent
// twice); acknowledged bursts are freed from the oldest; when room is
// short the oldest give way (the next hello tells the peer of the gap).
#ifndef QYLINK_ACKRING_H
#define QYLINK_ACKRING_H

#include <stddef.h>
#include <stdint.h>

#include "ackstream.h"

#define ACKRING_HEAD 3  // a burst's head: its line and its length (LE)

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AckRing {
  uint8_t *buf;                  // the caller's memory, cap bytes (null: none while empty)
  uint32_t cap;
  uint32_t tail;                 // index of the oldest burst's head
  uint32_t used;                 // bytes held, heads included
  uint32_t cursor;               // from the tail, the bytes looked at for sending
  uint32_t gen;                  // the stream's generation
  uint64_t tail_off[ACK_LINES];  // the line's oldest held byte
  uint64_t cur_off[ACK_LINES];   // the line's offset at the cursor
  uint64_t send_off[ACK_LINES];  // the line's next byte the peer lacks
  uint64_t end_off[ACK_LINES];   // after the line's last byte
  uint64_t evicted;              // line bytes that gave way, in all
} AckRing;

// An empty ring of a stream of generation gen, cap bytes once it has memory.
void ackring_init(AckRing *r, uint32_t gen, uint32_t cap);
// Appends a burst of n bytes of a line (r->buf set); the oldest bursts give
// way when room is short. The line bytes that gave way, or -1 for a line
// or a length out of range.
long ackring_put(AckRing *r, int line, const uint8_t *data, uint32_t n);
// The next bytes to send (the part of the next burst the peer lacks) into
// out: their length (0: none, or cap too short) and line; counted sent.
uint32_t ackring_next(AckRing *r, int *line, uint8_t *out, uint32_t cap);
// Line bytes and heads not looked at for sending yet.
uint32_t ackring_pending(const AckRing *r);
// The peer has the line's bytes before have: the oldest bursts within
// freed. -1 (nothing freed) when it claims bytes not sent.
int ackring_ack(AckRing *r, const uint64_t have[ACK_LINES]);
// After the peer's hello (from: ack_send_from's): what it has freed, and
// everything it lacks sent again, in order.
void ackring_rewind(AckRing *r, const uint64_t from[ACK_LINES]);
// The stream and its oldest held offsets; the offsets after its last bytes.
void ackring_held(const AckRing *r, AckMark *held, uint64_t end[ACK_LINES]);

#ifdef __cplusplus
}
#endif

#endif

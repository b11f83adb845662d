// The acknowledged link: an extension only our daemon and our hub speak,
// chosen in the secure link's handshake (the application protocol
// ACK_ALPN). Each end sends per serial line one stream of bytes counted
// by 64-bit offsets and named by a random generation; each end says in a
// hello where it is, acknowledges what it has taken, and after a break
// sends the peer exactly what the peer lacks. These are the rules both
// ends run; nothing here prints or allocates.
#ifndef QYLINK_ACKSTREAM_H
#define QYLINK_ACKSTREAM_H

#include <stddef.h>
#include <stdint.h>

#define ACK_ALPN "trm-ack/1"
#define COM_PORT_ACK 259        // the extension's section port
#define ACK_MSG_LEN 41
#define ACK_KIND_HELLO 1
#define ACK_KIND_ACK 2
#define ACK_LINES 2             // index 0: section port 1, index 1: port 2
#define ACK_EVERY_BYTES 16384   // acknowledge after this much of the peer's stream
#define ACK_EVERY_MS 1000       // or this long after its first byte not acknowledged

#ifdef __cplusplus
extern "C" {
#endif

// A stream and a position per line in it.
typedef struct AckMark {
  uint32_t gen;                 // 0: none
  uint64_t off[ACK_LINES];
} AckMark;

// hello: mine = my stream and the oldest offset I still hold per line;
// yours = the peer's stream as I have it. ack: yours only (mine zero).
typedef struct AckMsg {
  uint8_t kind;
  AckMark mine;
  AckMark yours;
} AckMsg;

// The section's data for m into out: ACK_MSG_LEN, or 0 when cap is short.
size_t ack_put(uint8_t *out, size_t cap, const AckMsg *m);
// Reads a section's data: 0, or -1 when it is not a message (its length,
// an unknown kind, a hello without a generation of its own).
int ack_get(const uint8_t *p, size_t n, AckMsg *m);

// The line's index for a section port, or -1 when the port is no line's.
int ack_line(unsigned port);

// As the sender of my stream, after the peer's hello (its yours): where
// to send from, per line, and the bytes lost because the peer lacks bytes
// I no longer hold. held: my stream and its oldest held offsets; end: the
// offset after the last byte I have. -1 (from and lost untouched) when the
// peer claims bytes I never had.
int ack_send_from(const AckMark *held, const uint64_t end[ACK_LINES], const AckMark *peer,
                  uint64_t from[ACK_LINES], uint64_t lost[ACK_LINES]);

// As the receiver of the peer's stream (taking: its generation and how far
// I have it), after the peer's hello (its mine): taking moves to where the
// peer will send from, and lost gets the bytes the peer no longer held.
// A generation I do not know is a stream begun again: counted from the
// peer's oldest offset, nothing counted lost.
void ack_take_hello(AckMark *taking, const AckMark *peer, uint64_t lost[ACK_LINES]);

// Whether an acknowledgement is due: unacked bytes of the peer's stream
// taken since the last one, the first of them ms milliseconds ago.
int ack_due(uint64_t unacked, uint32_t ms);

#ifdef __cplusplus
}
#endif

#endif

// The acknowledged link's retained buffer: the line bytes the daemon sent
// and the hub has not acknowledged yet, and those its lines delivered while
// no link could take them, as bursts in one static ring, oldest first.
// Acknowledged bursts are freed; unsent ones go out in order before
// anything newer of their line; when the ring is full the oldest bursts
// give way, and the next hello tells what the hub lacks of them.
// Offsets count each line's bytes from the stream's start (ackstream.h).
#ifndef QYSC_RETAIN_H
#define QYSC_RETAIN_H

#include <stdint.h>

#include "ackstream.h"

#define RETAIN_KB_DEFAULT 1536  // a 60 s outage of both lines at 115 200 bit/s
#define RETAIN_KB_MIN 16
#define RETAIN_KB_MAX 4096
#define RETAIN_BURST_MAX 1500   // a burst is at most one packet's data

// Empties the ring and starts a stream on kb KiB of it (clamped to
// RETAIN_KB_MIN..RETAIN_KB_MAX).
void retain_setup(uint32_t kb);
// Appends a burst of n bytes of the line (0 or 1, see ack_line); the oldest
// bursts go when room is short. -1 for a line or length out of range.
int retain_put(int line, const uint8_t *data, int n);
// At least room bytes free (at most half the ring), the oldest bursts
// giving way: taken before a hello, so that what the lines bring until the
// peer answers makes nothing else give way.
void retain_make_room(uint32_t room);
// The next burst not sent: its length (0: none) and line, its bytes in buf
// (cap at least RETAIN_BURST_MAX). retain_sent: that burst went out.
int retain_peek(int *line, uint8_t *buf, int cap);
void retain_sent(void);
// The peer's acknowledgement: bursts it has are freed. -1 when it claims
// bytes not sent.
int retain_ack(const uint64_t have[ACK_LINES]);
// After the peer's hello: what it has (from, ack_send_from) is freed, and
// everything still held is sent again, in order.
void retain_rewind(const uint64_t from[ACK_LINES]);
// The oldest held offsets, the offsets after the last bytes, and the
// bytes in use (heads included).
void retain_held(uint64_t tail[ACK_LINES], uint64_t end[ACK_LINES]);
uint32_t retain_used(void);
// Bytes of bursts not sent yet (heads included).
uint32_t retain_unsent(void);
// Bursts that gave way to newer ones since setup; of them, the line bytes
// that had not been sent yet (on a live link, a hole the peer cannot see).
uint32_t retain_evicted(void);
uint64_t retain_skipped(void);

#endif

// The daemon's side of the acknowledged link (ackstream.h): on a secure
// link whose hub chose it, the lines' bursts go through the retained
// buffer (retain.h) and are sent from there, each end says in a hello
// where it is and acknowledges what it took, and after a break each sends
// exactly what the other lacks. While no link is up the lines go on being
// read into the buffer. On a link whose server did not choose it nothing
// here acts, and the link is exactly the plain one.
//
// The upload state machine asks for its packets here (one a pass); the
// receive step hands in the line sections it took and the extension's own.
#ifndef QYSC_ACKLINK_H
#define QYSC_ACKLINK_H

#include <stdint.h>

#include "ackstream.h"

struct AckLinkStats {
  uint64_t lostUp[ACK_LINES];    // of the daemon's stream, bytes the hub never got
  uint64_t lostDown[ACK_LINES];  // of the hub's stream, bytes the daemon never got
  uint64_t dropped;              // bytes kept for a link whose server did not choose it
  uint32_t hellos, acksOut, acksIn;
  uint32_t refused;              // messages of the hub that were not sound
};

// Start-up, after the secure link's settings: the buffer is set up when
// the link is to be TLS with ack=1.
void ack_start(void);
// Whether the lines' bytes are kept now: the extension is on and no link
// is serving them (down, coming up, or waiting for the hub's hello).
bool ack_collecting(void);
// The link came up (its handshake done) / went down.
void ack_link_up(void);
void ack_link_down(void);
// Whether this link speaks the extension.
bool ack_active(void);

// The slot's burst (its len, judged due) into the buffer: its bytes (0:
// nothing came).
int ack_take(int slot);
// The due bursts of both lines into the buffer (the packetising rule
// decides, as for sending). now/us as for BurstDueAt.
void ack_take_lines(uint32_t now, uint32_t us);
// A holding queue half full during a wait (wait_keep_lines): its bytes
// into the buffer, in bursts as large as a packet takes.
void ack_spill(int slot);
// A hello or an acknowledgement due: the packet in buf and its length (0:
// none). ack_control_sent: it went out.
int ack_control(unsigned char *buf, int cap);
void ack_control_sent(void);
// The next retained burst, once the hub's hello is in: the packet, its
// slot (1 or 2) in *slot, its length (0: none). ack_data_sent: it went out.
int ack_data(unsigned char *buf, int cap, int *slot);
void ack_data_sent(void);
bool ack_data_ready(void);
// Whether a control packet or a burst waits to go (the pass does not wait).
bool ack_sending(void);
// Whether the buffer gave way under this link where the hub cannot learn
// of it: bursts not sent yet, or any burst between this end's hello and
// the hub's (the hello told where the stream starts). Nothing more goes
// out and the link is renewed; the next hellos count the loss on both ends.
bool ack_hole(void);
// Microseconds from tick now (us into it) until an acknowledgement comes
// due by its time (UINT32_MAX: nothing taken that is not acknowledged).
uint32_t ack_due_us(uint32_t now, uint32_t us);

// The receive side: n bytes of a line section (slot 1 or 2) taken; a
// section of the extension's port.
void ack_took(int slot, int n);
void ack_section(unsigned char *data, int n);

const AckLinkStats *ack_stats(void);
// Tests: everything as before start-up.
void ack_reset(void);

#endif

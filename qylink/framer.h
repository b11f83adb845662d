// Cutting the link's byte stream into packets, for every end of the link.
// The caller owns the room for one unfinished packet and says, in a
// constant policy, how long such a packet may wait for its rest, what a
// header that fails its checks drops, and the largest packet it takes. The
// bytes fed are plain (unscrambled by the caller); each whole packet is
// handed to the policy's callback where it lies: in the bytes fed when it
// came in one piece, in the caller's room when it was completed there.
// Nothing here allocates, prints or reads a clock.
#ifndef QYLINK_FRAMER_H
#define QYLINK_FRAMER_H

#include "qylink.h"

#ifdef __cplusplus
extern "C" {
#endif

// What a header that fails its checks drops.
typedef enum LinkBadDrops {
  // Everything at hand: the unfinished packet kept and the rest of the
  // bytes fed; framing starts again with the next bytes fed.
  LINK_BAD_DROPS_ALL = 0,
  // The rest of the bytes the bad header came in with. A kept packet whose
  // header turns out bad drops only itself, and the bytes fed are framed
  // from their start.
  LINK_BAD_DROPS_ITS_FEED,
} LinkBadDrops;

// A header that failed its checks, for the caller to count or report.
typedef struct LinkBad {
  WireHeader why;        // WIRE_HEADER_LENGTH too for a length below the
                         // packet's prefix or over the policy's max_len
  const uint8_t *head;   // the bad header and the bytes after it
  size_t shown;          // bytes at head (at least PACKAGE_HEADER_LEN)
  size_t dropped;        // bytes dropped with it
} LinkBad;

typedef struct LinkFraming {
  uint32_t wait_ms;        // how long an unfinished packet waits for its rest, from
                           // its first bytes (0: as long as it takes)
  LinkBadDrops bad_drops;
  size_t max_len;          // largest packet taken: at most PACKET_BUF_SIZE, and the
                           // size of the caller's room
  int need_prefix;         // non-zero: the length must cover header, IP text and signal
  // A whole packet of len bytes, its header judged. Non-zero to go on;
  // zero stops: the rest of the bytes fed is dropped.
  int (*packet)(void *ctx, uint8_t *pkt, size_t len);
  // A header that failed its checks (may be null).
  void (*bad)(void *ctx, const LinkBad *bad);
  // The room for an unfinished packet, asked for when LinkFramer.buf is
  // still null and bytes must be kept (may be null when buf is set).
  uint8_t *(*room)(void *ctx);
} LinkFraming;

// One stream's framing state; all zero but buf (or buf null with a room
// callback) is a stream at its start.
typedef struct LinkFramer {
  uint8_t *buf;    // the caller's room for one unfinished packet (max_len bytes)
  uint32_t since;  // when its first bytes came (ms)
  uint16_t have;   // bytes of it kept
} LinkFramer;

// Judges the header at p (avail bytes there) by the link's rules and the
// policy's. WIRE_HEADER_OK: the packet's length is in *len (it may be more
// than avail: not all there yet).
WireHeader link_frame_check(const LinkFraming *how, const uint8_t *p, size_t avail, size_t *len);

// Frames n plain bytes that came at now (ms, same clock as wait_ms): every
// whole packet goes to how->packet in order, an unfinished one at the end
// is kept in f->buf.
void link_framer_feed(const LinkFraming *how, LinkFramer *f, uint8_t *data, size_t n,
                      uint32_t now, void *ctx);

#ifdef __cplusplus
}
#endif

#endif

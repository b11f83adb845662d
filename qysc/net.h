// The server link: TCP client connect, close, short-wait receive and the
// packet write. Every wait longer than a second is cut into slices of at
// most one second with the watchdog serviced in between.
#ifndef QYSC_NET_H
#define QYSC_NET_H

#ifdef __cplusplus
extern "C" {
#endif

#define NET_RCVBUF 10000
// The send side keeps the kernel's own buffer sizing, so TCP can keep a
// whole round trip's worth of the lines' bytes in flight (a cellular path
// holds tens of kB). What waits in the socket not yet sent is kept small
// instead: past NET_NOTSENT_LOWAT unsent bytes a write waits, so a burst
// never queues behind seconds of older data and a break loses little.
// A kernel without that bound (older than 3.12) gets a fixed send buffer
// instead (doubled by the kernel), which holds a 600 ms round trip of both
// lines at 115 200 bit/s and bounds the unsent part with it.
#define NET_NOTSENT_LOWAT 8192
#define NET_SNDBUF_FALLBACK 16384
#define NET_TIMEOUT_MS 5000     // connect and write give up after this
// A packet partly written waits up to NET_FINISH_MS for its rest: a long,
// lossy path stalls for seconds while TCP retransmits, and giving up half a
// packet would end the link. A path TCP has retransmitted into
// NET_DEAD_BACKOFF times in a row without an answer is given up at once.
#define NET_FINISH_MS 15000
#define NET_DEAD_BACKOFF 4
#define NET_SLICE_MS 500        // longest wait without a watchdog service
// A link that goes silent (no FIN, no RST: a cell or a NAT dropped the
// flow) is found by TCP itself: data left unacknowledged for
// NET_USER_TIMEOUT_MS ends the connection, and an idle link is probed after
// NET_KEEPIDLE_S, every NET_KEEPINTVL_S. Either way the socket reports
// ETIMEDOUT, within 30 s at the default heartbeat period.
#define NET_USER_TIMEOUT_MS 15000
#define NET_KEEPIDLE_S 10
#define NET_KEEPINTVL_S 5
#define NET_KEEPCNT 3
#define NET_RECV_WAIT_US 5000   // receive wait, paces the main loop

// net_connect results below 0.
#define NET_ERR_SOCKET (-1)   // no socket
#define NET_ERR_RESOLVE (-2)  // the server's name did not resolve
#define NET_ERR_CONNECT (-3)  // refused, or no answer within 5 s

// net_readn results below 0.
#define NET_READ_ERROR (-1)
#define NET_PEER_CLOSED (-2)
#define NET_WAIT_FAILED (-3)
#define NET_NOTHING (-4)      // nothing arrived within the wait

// Connected descriptor (>= 0) or an NET_ERR_ code.
int net_connect(const char *serverIP, int serverPort);
void net_close(int sockfd);
// One read after a wait of at most 5 ms: bytes read (> 0), or NET_READ_ERROR,
// NET_PEER_CLOSED, NET_WAIT_FAILED, NET_NOTHING.
int net_readn(int sd, unsigned char *buffer, int len);
// The read of net_readn alone, for a link the caller's wait found readable;
// never blocks (NET_NOTHING when there was nothing after all).
int net_read_ready(int sd, unsigned char *buffer, int len);
int recv_NonBlocking(int socket_id, unsigned char *buffer, int buffer_len);
// Writes all len bytes in one go: len, or -1 with errno set when they could
// not all be written: nothing went out within 5 s (EAGAIN), or the rest of
// a packet partly out did not follow within NET_FINISH_MS, or TCP gave the
// path up meanwhile. A packet partly out leaves the server's stream out of
// step, and a path TCP gave up is dead: such a link takes no more writes
// (-1, EPIPE) until it is closed, so the failure count ends it at once.
int net_write(int sockfd, const unsigned char *data, int len);

// Waits up to total_ms for events on fd in slices of at most NET_SLICE_MS,
// servicing the watchdog between slices: poll's result (> 0 ready, 0 time
// out, -1 error).
int net_wait(int fd, short events, int total_ms);

#ifdef __cplusplus
}
#endif

#endif

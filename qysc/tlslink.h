// The secure link: the same byte stream as the plain link (scrambled
// packets), carried in TLS 1.2 with mutual authentication, when tls.ini
// (beside the configuration file) says enable=1. Without that file, or
// without enable=1, nothing here runs and the link is exactly the plain one.
//
// The link state machine connects as before, then steps the handshake a
// pass at a time (non-blocking, the watchdog and LED serviced as in every
// pass), bounded by handshake_ms; a handshake that fails, is refused or
// runs over its bound ends like a connect that failed. Once it is done the
// socket calls of net.cpp read and write through TLS.
#ifndef QYSC_TLSLINK_H
#define QYSC_TLSLINK_H

#include <stdint.h>

#define TLS_HS_MORE 0     // not done yet: call again next pass
#define TLS_HS_DONE 1
#define TLS_HS_FAILED (-1)  // refused or failed (logged, counted); close the socket

struct TlsStats {
  uint32_t handshakes;   // done, full or resumed
  uint32_t resumed;      // of them resumed
  uint32_t refusedPin;   // the hub's key was not the pinned one
  uint32_t refusedCert;  // the hub's certificate did not verify
  uint32_t timeouts;     // handshakes over their bound
  uint32_t failures;     // handshakes that failed otherwise (alerts, not TLS, ...)
  uint32_t notUsed;      // connects not made: tls.ini unusable, key not ready
  // The last handshake: bytes each way, round trips, milliseconds.
  uint32_t lastOut, lastIn, lastRoundTrips, lastMs;
};

// Start-up: reads tls.ini beside configFile and, when it is on, checks or
// makes the gateway key (as far as the kernel's random pool allows now).
void tls_start(void);
// Whether the link is to be TLS (enable=1).
bool tls_on(void);
// Whether a connect may go ahead now: tls.ini is usable and the gateway
// key is ready; else the refusal is logged and counted.
bool tls_ready(void);
// After the TCP connect on fd: sets the connection up. 0, or -1 (logged,
// counted; the caller closes fd).
int tls_begin(int fd);
// One pass of the handshake: as far as it goes without waiting for the hub.
// Then the pass waits on the socket for tls_handshake_events (POLLIN or
// POLLOUT), at most tls_handshake_left_us (until the handshake's bound).
int tls_handshake_pass(void);
short tls_handshake_events(void);
uint32_t tls_handshake_left_us(uint32_t now, uint32_t us);
// Whether the hub chose the acknowledged link (acklink) on the link the
// last handshake made.
bool tls_ack(void);
// Whether fd is the TLS link (net.cpp then reads and writes through it).
bool tls_link(int fd);
// net_read_ready's results: bytes, NET_NOTHING, NET_PEER_CLOSED, NET_READ_ERROR.
int tls_read(unsigned char *buffer, int len);
// net_write's results: len, or -1 with errno (EAGAIN: no room within 5 s,
// nothing taken; EPIPE: a record not finished within NET_FINISH_MS, the
// link takes no more writes).
int tls_write(const unsigned char *data, int len);
// Whether the link holds received bytes already decrypted.
bool tls_pending(int fd);
// fd is being closed: the connection's memory goes back to the arena.
void tls_end(int fd);
const TlsStats *tls_stats(void);
// Tests: forgets the settings, the kept session and the counters.
void tls_reset(void);

#endif

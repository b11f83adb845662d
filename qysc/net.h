// The server link: TCP client connect, close, short-wait receive and the
// packet write. Every wait longer than a second is cut into slices of at
// most one second with the watchdog serviced in between.
#ifndef QYSC_NET_H
#define QYSC_NET_H

#ifdef __cplusplus
extern "C" {
#endif

#define NET_RCVBUF 10000
#define NET_SNDBUF 100
#define NET_TIMEOUT_MS 5000     // connect and write give up after this
#define NET_SLICE_MS 1000       // longest wait without a watchdog service
#define NET_RECV_WAIT_US 5000   // receive wait, paces the main loop

// Connected descriptor (>= 0), or -1 socket creation failed, -2 name not
// resolved, -3 connect failed (refused, or no answer within 5 s).
int net_connect(const char *serverIP, int serverPort);
void net_close(int sockfd);
// One read after a wait of at most 5 ms: bytes read (> 0), or -1 read
// error, -2 peer closed, -3 wait failed, -4 nothing arrived.
int net_readn(int sd, unsigned char *buffer, int len);
int recv_NonBlocking(int socket_id, unsigned char *buffer, int buffer_len);
// Writes len bytes within 5 s: the byte count written (short only when the
// time ran out), or -1 with errno set when nothing could be written.
int net_write(int sockfd, const unsigned char *data, int len);

// Waits up to total_ms for events on fd in slices of at most NET_SLICE_MS,
// servicing the watchdog between slices: poll's result (> 0 ready, 0 time
// out, -1 error).
int net_wait(int fd, short events, int total_ms);

#ifdef __cplusplus
}
#endif

#endif

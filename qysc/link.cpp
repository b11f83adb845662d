// The link state machine iGPRSStep: connect, wait and retry, serve the
// link, and drop it. Every change of state goes through link_set, every
// drop through drop_link.
#include "daemon.h"

#include "acklink.h"
#include "net.h"
#include "qycomm.h"
#include "settings.h"
#include "tlslink.h"

int iGPRSStep;
uint32_t ulGPRSReconWaitTime;

namespace {

constexpr uint32_t kReconnectWaitMs = 1000;
constexpr uint32_t kAfterConnectMs = 1000;
constexpr uint32_t kBeforeReconnectMs = 100;

DaemonLoop &L = qysc_loop;

// What follows each kind of drop.
struct DropRule {
  Drop why;
  int next;
};

constexpr DropRule kDropRules[] = {
    {Drop::kPeerClosed, GPRS_CONNECT},
    {Drop::kWriteFailures, GPRS_CONNECT},
    {Drop::kRelink, GPRS_IDLE},
    {Drop::kDead, GPRS_CONNECT},
    {Drop::kHole, GPRS_CONNECT},
};

void link_up() {
  watch_link(L.sockfd);
  ulHeartbeatOldTime = pass_ticks(nullptr);
  hold_pause(kAfterConnectMs);
  ack_link_up();
  link_set(GPRS_ONLINE);
}

// A connect that failed, or a secure link that did not come up.
void connect_failed() {
  net_close(L.sockfd);
  L.sockfd = -1;
  link_set(GPRS_WAIT);
}

void connect_step() {
  if (tls_on() && !tls_ready()) {
    link_set(GPRS_WAIT);
    return;
  }
  L.sockfd = net_connect(baseInfo.ucServerIP, baseInfo.usServerPort);
  const bool connected = L.sockfd >= 0 && (!tls_on() || tls_begin(L.sockfd) == 0);
  if (!connected) {
    connect_failed();
  } else if (tls_on()) {
    link_set(GPRS_TLS);
  } else {
    link_up();
  }
}

uint32_t shorter(uint32_t a, uint32_t b) { return a < b ? a : b; }

// The handshake as far as the socket allows, then a wait on the socket
// for what it needs next (the lines too while they are kept).
void handshake_step(uint32_t limit_us) {
  const int rc = tls_handshake_pass();
  if (rc == TLS_HS_DONE) return link_up();
  if (rc == TLS_HS_FAILED) return connect_failed();
  uint32_t us = 0;
  const uint32_t now = pass_ticks(&us);
  loop_wait(L.sockfd, tls_handshake_events(), shorter(limit_us, tls_handshake_left_us(now, us)),
            lines_kept());
}

// The reconnect wait: the next connect comes more than 1000 ms after the
// failure and then the 100 ms pause, so the wait sleeps until both are
// over (or the loop's timers are due, reading the lines while they are
// kept) and the next pass connects: one wake-up, where a sleep after the
// wait would be a second.
void wait_step(uint32_t limit_us) {
  uint32_t us = 0;
  const uint32_t now = pass_ticks(&us);
  const uint32_t left =
      us_until(ulGPRSReconWaitTime + kReconnectWaitMs + 1 + kBeforeReconnectMs, now, us);
  if (left == 0) return link_set(GPRS_CONNECT);
  loop_wait(-1, 0, shorter(left, limit_us), lines_kept());
}

// The link up: one packet at most (after the reply to "@RELINK" the link
// is dropped at once, before the receive), then the receive, which may
// find the link gone; its wait lasts until the first thing is due.
void serve_step(uint32_t limit_us) {
  if (ack_hole()) {
    PrintMsg("--> ack: bursts not yet sent gave way on a live link: the link is renewed\r\n");
    return drop_link(Drop::kHole);
  }
  if (upload_step()) drop_link(Drop::kRelink);
  uint32_t us = 0;
  const uint32_t now = pass_ticks(&us);
  Drop why = Drop::kDead;
  if (receive_step(shorter(upload_wait_us(now, us), limit_us), &why)) drop_link(why);
}

}  // namespace

void link_set(int state) {
  iGPRSStep = state;
  if (state == GPRS_ONLINE) upload_set(UPLOAD_INIT);
  if (state == GPRS_WAIT) ulGPRSReconWaitTime = pass_ticks(nullptr);
}

void drop_link(Drop why) {
  watch_link(-1);
  net_close(L.sockfd);
  L.sockfd = -1;
  receive_reset();
  ack_link_down();
  upload_set(UPLOAD_INIT);
  for (const DropRule &r : kDropRules) {
    if (r.why == why) link_set(r.next);
  }
}

void link_step(uint32_t limit_us) {
  switch (iGPRSStep) {
    case GPRS_IDLE: link_set(GPRS_CONNECT); break;
    case GPRS_CONNECT: connect_step(); break;
    case GPRS_WAIT: wait_step(limit_us); break;
    case GPRS_TLS: handshake_step(limit_us); break;
    case GPRS_ONLINE: serve_step(limit_us); break;
    default: break;
  }
}

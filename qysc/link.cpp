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
constexpr uint32_t kWaitPaceMs = 100;  // reconnect wait: paced instead of spinning

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
  ulHeartbeatOldTime = GetTimeTicks();
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

void handshake_step() {
  const int rc = tls_handshake_pass();
  if (rc == TLS_HS_DONE) link_up();
  if (rc == TLS_HS_FAILED) connect_failed();
}

void wait_step() {
  const uint32_t since = GetTimeTicks() - ulGPRSReconWaitTime;
  if (since > kReconnectWaitMs) {
    ulGPRSReconWaitTime = GetTimeTicks();
    link_set(GPRS_CONNECT);
    hold_pause(kBeforeReconnectMs);
    return;
  }
  // The wait still ends just after 1000 ms.
  const uint32_t left = kReconnectWaitMs + 1 - since;
  hold_pause(left < kWaitPaceMs ? left : kWaitPaceMs);
}

// The link up: one packet at most (after the reply to "@RELINK" the link
// is dropped at once, before the receive), then the receive, which may
// find the link gone.
void serve_step() {
  if (ack_hole()) {
    PrintMsg("--> ack: bursts not yet sent gave way on a live link: the link is renewed\r\n");
    return drop_link(Drop::kHole);
  }
  if (upload_step()) drop_link(Drop::kRelink);
  Drop why = Drop::kDead;
  if (receive_step(upload_wait_us(), &why)) drop_link(why);
}

}  // namespace

void link_set(int state) {
  iGPRSStep = state;
  if (state == GPRS_ONLINE) upload_set(UPLOAD_INIT);
  if (state == GPRS_WAIT) ulGPRSReconWaitTime = GetTimeTicks();
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

void link_step() {
  switch (iGPRSStep) {
    case GPRS_IDLE: link_set(GPRS_CONNECT); break;
    case GPRS_CONNECT: connect_step(); break;
    case GPRS_WAIT: wait_step(); break;
    case GPRS_TLS: handshake_step(); break;
    case GPRS_ONLINE: serve_step(); break;
    default: break;
  }
}

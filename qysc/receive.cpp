// The pass's receive step and the packets from the server: the wait for
// the link and its one read (a link found gone is the link state
// machine's to drop), the stream cut into packets, the header checks, a
// bounds check of the whole section structure, then the dispatch of each
// section by port. Anything that would read past a packet drops it as a
// whole before any section acts.
//
// A read need not be one packet. A read whose header is sound but whose
// length is more than the bytes read is kept, and the packet completed from
// the next reads if they come within 2 s (otherwise it is dropped, as a
// packet whose length did not match always was); a read holding several
// sound packets back to back has each handled in order; anything that
// fails a header check drops the rest of that read, so the stream finds
// its feet again at the next read. On a cellular link whose segments are
// smaller than a packet, and from a server that sends two packets close
// together, nothing is lost.

#include "daemon.h"

#include "acklink.h"
#include "framer.h"
#include "my_uart.h"
#include "net.h"
#include "packet.h"
#include "qycom.h"
#include "qycomm.h"
#include "qyio.h"
#include "scramble.h"
#include "settings.h"
#include "tcp2rtu.h"

namespace {

DaemonLoop &L = qysc_loop;
unsigned char g_room[PACKET_BUF_SIZE];  // the start of a packet whose rest has not come yet
LinkFramer g_in = {g_room, 0, 0};

void to_line(int slot, uint8_t bridged, unsigned char *data, int len) {
  ack_took(slot, len);
  if (bridged != 0) {
    TCP2RTU_Request(slot, data, len);
  } else {
    UART_Send(baseInfo.comInfo[slot].port, data, len);
  }
}

void to_rs485(unsigned char *data, int len) { to_line(1, baseInfo.isTCP2RTU1, data, len); }
void to_rs232(unsigned char *data, int len) { to_line(2, baseInfo.isTCP2RTU2, data, len); }

void verify(unsigned char *data, int) {
  const int32_t answer = wire_verify_answer(data[0], data[1]);
  request_verify(answer);
  PrintMsg("  bLoData=%d, bHiData=%d, lVerifyData=%d\r\n", data[0], data[1],
           static_cast<int>(answer));
}

struct PortAction {
  uint16_t port;
  void (*act)(unsigned char *data, int len);
};

constexpr PortAction kPortActions[] = {
    {COM_PORT_RS485, to_rs485},   {COM_PORT_RS232, to_rs232}, {COM_PORT_QYCOM, QYCOM_Process},
    {COM_PORT_QYIO, VIO_Process}, {COM_PORT_VERIFY, verify},  {COM_PORT_ACK, ack_section},
};

void dispatch(unsigned char *pkt) {
  const unsigned count = wire_section_count(pkt);
  size_t off = 0;
  for (unsigned i = 0; i < count; i++) {
    const WireSection s = wire_next_section(pkt, &off);
    PrintMsg("  COM %d, DataLen=%d\r\n", s.port, s.len);
    for (const PortAction &a : kPortActions) {
      if (a.port == s.port) a.act(pkt + s.at, s.len);
    }
  }
}

// One whole packet of len bytes (its header checked).
int handle_packet(void *, uint8_t *pkt, size_t len) {
  if (!wire_sections_fit(pkt, len)) {
    PrintMsg("-- packet ignored: its sections run past the %d bytes received\r\n",
             static_cast<int>(len));
    return 1;
  }
  dispatch(pkt);
  return 1;
}

// A split packet waits 2 s for its rest; a bad header drops the rest of
// its read, silently.
constexpr LinkFraming kFraming = {
    2000, LINK_BAD_DROPS_ITS_FEED, PACKET_BUF_SIZE, 0, handle_packet, nullptr, nullptr,
};

// A packet begun waits for its rest until its time limit: the pass's wait
// ends there, and a packet still not whole is forgotten then, as the next
// read would find.
uint32_t partial_due_us(uint32_t now, uint32_t us) {
  if (g_in.have == 0) return UINT32_MAX;
  return us_until(g_in.since + kFraming.wait_ms + 1, now, us);
}

void forget_stale_partial() {
  if (g_in.have > 0 && pass_ticks(nullptr) - g_in.since > kFraming.wait_ms) g_in.have = 0;
}

}  // namespace

void receive_reset(void) { g_in.have = 0; }

extern "C" void HandleServerPacket(unsigned char *buf, int n) {
  PrintMsg("--> socket receive: length=%d\r\n", n);
  PrintRelease();  // held from the read: its lines in one write
  if (n <= 0) return;
  decode_func(buf, n, 0);
  pass_clock_stale();  // read after the wait the bytes came in
  link_framer_feed(&kFraming, &g_in, buf, static_cast<size_t>(n), pass_ticks(nullptr), nullptr);
}

bool receive_step(uint32_t wait_us, Drop *why) {
  int n = NET_NOTHING;
  if (L.sockfd < 0) {
    // dropped by this pass's upload: the receive fails as it always has
    n = recv_NonBlocking(L.sockfd, ucRecvData, PACKET_BUF_SIZE);
  } else {
    uint32_t us = 0;
    const uint32_t now = pass_ticks(&us);
    const uint32_t partial = partial_due_us(now, us);
    if (pass_wait(wait_us < partial ? wait_us : partial)) {
      PrintHold();
      n = net_read_ready(L.sockfd, ucRecvData, PACKET_BUF_SIZE);
      if (n <= 0) PrintRelease();
    } else {
      forget_stale_partial();
    }
  }
  if (n > 0) {
    HandleServerPacket(ucRecvData, n);
  } else if (n == NET_PEER_CLOSED) {
    PrintMsg("recv --> return 0 --> socket be close, re-connect\r\n");
    *why = Drop::kPeerClosed;
    return true;
  } else if (n == NET_READ_ERROR && L.sockfd >= 0) {
    // A link TCP gave up on (unacknowledged data, or unanswered keepalive
    // probes: ETIMEDOUT) or the server reset: closed like a peer close.
    PrintMsg("recv --> error --> socket be close, re-connect\r\n");
    *why = Drop::kDead;
    return true;
  }
  return false;
}

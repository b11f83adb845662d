// Packets from the server: the stream cut into packets, the header checks,
// a bounds check of the whole section structure, then the dispatch of each
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
#include <string.h>

#include "daemon.h"
#include "my_uart.h"
#include "packet.h"
#include "qycom.h"
#include "qycomm.h"
#include "qyio.h"
#include "scramble.h"
#include "settings.h"
#include "tcp2rtu.h"

namespace {

constexpr uint32_t kCompleteWithinMs = 2000;

// The start of a packet whose rest has not arrived yet.
struct Partial {
  unsigned char buf[PACKET_BUF_SIZE];
  size_t have;
  uint32_t since;  // when its first bytes came
};

Partial g_part;

void to_line(int slot, uint8_t bridged, unsigned char *data, int len) {
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
    {COM_PORT_RS485, to_rs485},        {COM_PORT_RS232, to_rs232},
    {COM_PORT_QYCOM, QYCOM_Process},   {COM_PORT_QYIO, VIO_Process},
    {COM_PORT_VERIFY, verify},
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
void handle_packet(unsigned char *pkt, size_t len) {
  if (!wire_sections_fit(pkt, len)) {
    PrintMsg("-- packet ignored: its sections run past the %d bytes received\r\n",
             static_cast<int>(len));
    return;
  }
  dispatch(pkt);
}

size_t append(const unsigned char *data, size_t n, size_t want) {
  const size_t take = n < want ? n : want;
  memcpy(g_part.buf + g_part.have, data, take);
  g_part.have += take;
  return take;
}

// Feeds the pending packet from the read; the bytes of the read it took
// (0 when the pending bytes turn out to be no packet and are dropped: the
// read is then taken from its start).
size_t complete(const unsigned char *data, size_t n) {
  size_t used = 0;
  if (g_part.have < PACKAGE_HEADER_LEN) {
    used = append(data, n, PACKAGE_HEADER_LEN - g_part.have);
    if (g_part.have < PACKAGE_HEADER_LEN) return used;
  }
  size_t len = 0;
  if (wire_check_header(g_part.buf, g_part.have, &len) != WIRE_HEADER_OK) {
    g_part.have = 0;
    return 0;
  }
  used += append(data + used, n - used, len - g_part.have);
  if (g_part.have == len) {
    g_part.have = 0;
    handle_packet(g_part.buf, len);
  }
  return used;
}

void keep(const unsigned char *data, size_t n, uint32_t now) {
  g_part.have = 0;
  g_part.since = now;
  append(data, n, n);
}

// The unscrambled bytes of one read.
void feed(unsigned char *data, size_t n, uint32_t now) {
  size_t off = 0;
  if (g_part.have > 0 && now - g_part.since > kCompleteWithinMs) g_part.have = 0;
  if (g_part.have > 0) off = complete(data, n);
  while (off < n) {
    size_t len = 0;
    const WireHeader h = wire_check_header(data + off, n - off, &len);
    if (h == WIRE_HEADER_PARTIAL || (h == WIRE_HEADER_OK && len > n - off)) {
      keep(data + off, n - off, now);
      return;
    }
    if (h != WIRE_HEADER_OK) return;  // the rest of this read is dropped
    handle_packet(data + off, len);
    off += len;
  }
}

}  // namespace

void receive_reset(void) { g_part.have = 0; }

extern "C" void HandleServerPacket(unsigned char *buf, int n) {
  PrintMsg("--> socket receive: length=%d\r\n", n);
  if (n <= 0) return;
  decode_func(buf, n, 0);
  feed(buf, static_cast<size_t>(n), GetTimeTicks());
}

// Packets from the server: the four header checks, a bounds check of the
// whole section structure, then the dispatch of each section by port.
// Anything that would read past the bytes received drops the packet as a
// whole before any section acts.
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

// The daemon's header rules: a sound header (version, type, IP length)
// whose length is exactly the n bytes the read delivered.
bool header_ok(const unsigned char *buf, int n) {
  size_t len = 0;
  return wire_check_header(buf, static_cast<size_t>(n), &len) == WIRE_HEADER_OK &&
         len == static_cast<size_t>(n);
}

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

}  // namespace

extern "C" void HandleServerPacket(unsigned char *buf, int n) {
  PrintMsg("--> socket receive: length=%d\r\n", n);
  if (n <= 0) return;
  decode_func(buf, n, 0);
  if (!header_ok(buf, n)) return;
  if (!wire_sections_fit(buf, static_cast<size_t>(n))) {
    PrintMsg("-- packet ignored: its sections run past the %d bytes received\r\n", n);
    return;
  }
  dispatch(buf);
}

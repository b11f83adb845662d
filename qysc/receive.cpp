// Packets from the server: the four header checks, a bounds check of the
// whole section structure, then the dispatch of each section by port.
// Anything that would read past the bytes received drops the packet as a
// whole before any section acts.
#include <string.h>

#include "daemon.h"
#include "packet.h"
#include "qycom.h"
#include "qycomm.h"
#include "qyio.h"
#include "scramble.h"
#include "settings.h"
#include "tcp2rtu.h"
#include "type.h"

namespace {

constexpr int kHeaderLen = sizeof(PackageHeader);
constexpr int kSectionHead = sizeof(PackageCom);
constexpr int kVerifyMin = 2;

uint16_t get16(const unsigned char *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

bool header_ok(const unsigned char *buf, int n) {
  if (n < kHeaderLen) return false;
  const PackageHeader *h = reinterpret_cast<const PackageHeader *>(buf);
  return h->ucPackageVer == PACKAGE_VER && h->usPackageLen == n &&
         h->ucPackageType <= PACKAGE_TYPE_HEARTBEAT && h->ucIPLen <= PACKAGE_MAX_IPLEN;
}

// Offset of the section count byte (after the IP text and the signal byte).
int count_offset(const unsigned char *buf) { return kHeaderLen + buf[4] + 1; }

// True when every announced section, head and data, lies within the n bytes
// (and a verify section holds its two bytes).
bool sections_fit(const unsigned char *buf, int n) {
  int off = count_offset(buf);
  if (off >= n) return false;
  const int count = buf[off++];
  for (int i = 0; i < count; i++) {
    if (off + kSectionHead > n) return false;
    const uint16_t port = get16(buf + off);
    const int len = get16(buf + off + 2);
    off += kSectionHead + len;
    if (off > n || (port == COM_PORT_VERIFY && len < kVerifyMin)) return false;
  }
  return true;
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
  const int32_t x = data[0];
  const int32_t y = data[1];
  lVerifyData = 5 * x * y + 3 * y * y - 11;
  iUploadPackageFlag = UPLOAD_VERIFY;
  PrintMsg("  bLoData=%d, bHiData=%d, lVerifyData=%d\r\n", static_cast<int>(x),
           static_cast<int>(y), static_cast<int>(lVerifyData));
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

void dispatch(unsigned char *buf) {
  int off = count_offset(buf);
  const int count = buf[off++];
  for (int i = 0; i < count; i++) {
    const uint16_t port = get16(buf + off);
    const int len = get16(buf + off + 2);
    unsigned char *data = buf + off + kSectionHead;
    PrintMsg("  COM %d, DataLen=%d\r\n", port, len);
    for (const PortAction &a : kPortActions) {
      if (a.port == port) a.act(data, len);
    }
    off += kSectionHead + len;
  }
}

}  // namespace

extern "C" void HandleServerPacket(unsigned char *buf, int n) {
  PrintMsg("--> socket receive: length=%d\r\n", n);
  if (n <= 0) return;
  decode_func(buf, n, 0);
  M_PackageHeader = reinterpret_cast<PackageHeader *>(buf);
  if (!header_ok(buf, n)) return;
  if (!sections_fit(buf, n)) {
    PrintMsg("-- packet ignored: its sections run past the %d bytes received\r\n", n);
    return;
  }
  dispatch(buf);
}

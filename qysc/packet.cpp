// Builders of the daemon's packets, laid out in the caller's buffer with
// the link library: init, heartbeat (and its burst), verify answer, serial
// data, and the drained command replies.
#include "packet.h"

#include <string.h>

#include "daemon.h"
#include "my_uart.h"
#include "qycom.h"
#include "qycomm.h"
#include "qyio.h"
#include "settings.h"
#include "tcp2rtu.h"

unsigned char ucSendData[PACKET_BUF_SIZE];
uint16_t usSendDataLen;
unsigned char ucRecvData[PACKET_BUF_SIZE];
PackageHeader *M_PackageHeader;

namespace {

constexpr uint8_t kComNum = 2;         // serial ports the device offers
constexpr size_t kBridgeGrowth = 4;    // a bridged response is 4 bytes longer than its frame

size_t ip_len() { return strnlen(baseInfo.ucVirtualIP, sizeof baseInfo.ucVirtualIP); }

size_t put_prefix(unsigned char *buf, int cap, uint8_t type) {
  return wire_put_prefix(buf, static_cast<size_t>(cap), type, baseInfo.ucVirtualIP, ip_len(),
                         modemSignal);
}

// Prefix, section count 1 and the head of a section of n bytes; the data
// offset (the data themselves are the caller's to write).
size_t put_one_section(unsigned char *buf, int cap, uint16_t port, size_t n) {
  size_t off = put_prefix(buf, cap, PACKAGE_TYPE_DATA);
  buf[off++] = 1;
  wire_put_section(buf, static_cast<size_t>(cap), off, port, nullptr, n);
  return off + PACKAGE_SECTION_HEAD;
}

int finish(unsigned char *buf, size_t len) { return static_cast<int>(wire_finish(buf, len)); }

int section_room(int cap) {
  return cap - static_cast<int>(PACKAGE_HEADER_LEN + ip_len() + 1 + 1 + PACKAGE_SECTION_HEAD);
}

// The pending lines of a ring that fit room bytes, joined at out; the
// length of the joined text.
int drain(Job4Cmd &q, unsigned char *out, int room, bool indexed) {
  int total = 0;
  for (int i = 0; Job4Cmd_Pending(&q) > 0; i++) {
    int len = 0, slot = 0;
    const char *line = Job4Cmd_Oldest(&q, &len, &slot);
    if (total + len > room) break;
    if (indexed) {
      PrintMsg("    out_reply(%d)[%d, %d]:%.*s\r\n", i, len, slot, len, line);
    } else {
      PrintMsg("    out_reply[%d, %d]:%.*s\r\n", len, slot, len, line);
    }
    memcpy(out + total, line, static_cast<size_t>(len));
    total += len;
    Job4Cmd_Drop(&q);
  }
  return total;
}

// The system's builders record what they built in the two globals.
void made(unsigned char *buf, int len) {
  usSendDataLen = static_cast<uint16_t>(len);
  M_PackageHeader = reinterpret_cast<PackageHeader *>(buf);
}

}  // namespace

extern "C" {

int BurstCapacity(int slot) {
  const uint8_t bridged = slot == 2 ? baseInfo.isTCP2RTU2 : baseInfo.isTCP2RTU1;
  int room = section_room(PACKET_BUF_SIZE);
  if (bridged != 0) {
    room -= static_cast<int>(kBridgeGrowth);
    if (room > BRIDGE_BUF_SIZE - 6) room = BRIDGE_BUF_SIZE - 6;
  }
  return room;
}

int build_init(unsigned char *buf, int cap) {
  // The identity texts are NUL-terminated within their fields.
  const WireInit init = {baseInfo.ucVirtualIP, ip_len(),     modemSignal,    netInterface,
                         cModuleName,          baseInfo.ucModuleAlias,        cFWVersion,
                         kComNum,              baseInfo.usHeartbeatTime,      INIT_SERVER_DELAY};
  return static_cast<int>(wire_put_init(buf, static_cast<size_t>(cap), &init));
}

int build_heartbeat(unsigned char *buf, int cap) {
  return finish(buf, put_prefix(buf, cap, PACKAGE_TYPE_HEARTBEAT));
}

int build_verify(unsigned char *buf, int cap, int32_t answer) {
  const size_t data = put_one_section(buf, cap, COM_PORT_VERIFY, VERIFY_ANSWER_LEN);
  wire_put32(buf + data, static_cast<uint32_t>(answer));
  return finish(buf, data + VERIFY_ANSWER_LEN);
}

int build_section(unsigned char *buf, int cap, uint16_t port, const unsigned char *data, int n) {
  if (n < 0 || n > section_room(cap)) return 0;
  const size_t at = put_one_section(buf, cap, port, static_cast<size_t>(n));
  memcpy(buf + at, data, static_cast<size_t>(n));
  return finish(buf, at + static_cast<size_t>(n));
}

int build_line_data(unsigned char *buf, int cap, int slot, int n) {
  const int most = BurstCapacity(slot);
  n = n < most ? (n > 0 ? n : 0) : most;
  const size_t data = put_one_section(buf, cap, static_cast<uint16_t>(slot), 0);
  const uint8_t bridged = slot == 2 ? baseInfo.isTCP2RTU2 : baseInfo.isTCP2RTU1;
  int got = -1;
  if (bridged != 0) {
    got = RTU2TCP_Response(slot, buf + data, n);
  } else {
    // What the port delivered, never stale buffer bytes beyond it.
    got = UART_Recv(baseInfo.comInfo[slot].port, reinterpret_cast<char *>(buf + data), n);
  }
  if (got <= 0) return 0;  // nothing to send for this burst
  wire_put16(buf + data - 2, static_cast<uint16_t>(got));
  return finish(buf, data + static_cast<size_t>(got));
}

int build_replies(unsigned char *buf, int cap, uint16_t port) {
  const bool qycom = port == COM_PORT_QYCOM;
  const size_t data = put_one_section(buf, cap, port, 0);
  const int total = drain(qycom ? M_Job4Cmd : VIO_Reply, buf + data, section_room(cap), qycom);
  PrintMsg("----all reply[%d]: %.*s\r\n", total, total, reinterpret_cast<char *>(buf + data));
  wire_put16(buf + data - 2, static_cast<uint16_t>(total));
  return finish(buf, data + static_cast<size_t>(total));
}

int build_heartbeat_burst(unsigned char *buf, int cap, int len) {
  const unsigned copies = len > 0 ? wire_heartbeat_copies(static_cast<size_t>(len)) : 0;
  int s = len;
  for (unsigned i = 1; i < copies && s + len <= cap; i++) {
    memcpy(buf + s, buf, static_cast<size_t>(len));
    s += len;
  }
  return copies > 0 ? s : 0;
}

void makeInitPack(unsigned char *buf) {
  baseInfo.usServerTimeDelay = INIT_SERVER_DELAY;
  made(buf, build_init(buf, PACKET_BUF_SIZE));
}

void makeHearbeatPack(unsigned char *buf) { made(buf, build_heartbeat(buf, PACKET_BUF_SIZE)); }

void makeVerifyPack(unsigned char *buf) {
  made(buf, build_verify(buf, PACKET_BUF_SIZE, lVerifyData));
}

void makeCOM2Pack(unsigned char *buf) {
  made(buf, build_line_data(buf, PACKET_BUF_SIZE, 1, iRS485Len));
}

void makeCOM3Pack(unsigned char *buf) {
  made(buf, build_line_data(buf, PACKET_BUF_SIZE, 2, iRS232Len));
}

void makeQYCOMPack(unsigned char *buf) {
  made(buf, build_replies(buf, PACKET_BUF_SIZE, COM_PORT_QYCOM));
}

void makeQYIOPack(unsigned char *buf) {
  made(buf, build_replies(buf, PACKET_BUF_SIZE, COM_PORT_QYIO));
}

int makeHeartbeatBurst(unsigned char *buf, int len) {
  usSendDataLen = static_cast<uint16_t>(build_heartbeat_burst(buf, PACKET_BUF_SIZE, len));
  return usSendDataLen;
}

}  // extern "C"

// Builders of the daemon's packets, laid out in place in the send buffer:
// init, heartbeat (and its burst), verify answer, serial data and the
// drained command replies.
#include "packet.h"

#include <string.h>

#include "daemon.h"
#include "qycom.h"
#include "qycomm.h"
#include "qyio.h"
#include "settings.h"
#include "tcp2rtu.h"
#include "type.h"

unsigned char ucSendData[PACKET_BUF_SIZE];
uint16_t usSendDataLen;
unsigned char ucRecvData[PACKET_BUF_SIZE];
PackageHeader *M_PackageHeader;

namespace {

constexpr int kHeaderLen = sizeof(PackageHeader);
constexpr int kSectionHead = sizeof(PackageCom);
constexpr uint8_t kComNum = 2;         // serial ports the device offers
constexpr uint8_t kInitConstant = 10;  // fixed byte of the init packet
constexpr uint16_t kServerTimeDelay = 50;
constexpr int kInitReserved = 8;
constexpr int kVerifyLen = 4;

void put16(unsigned char *p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

int ip_len() { return static_cast<int>(strnlen(baseInfo.ucVirtualIP, sizeof baseInfo.ucVirtualIP)); }

// Header, virtual IP and signal byte; returns the offset after them.
int put_prefix(unsigned char *buf, uint8_t type) {
  const int n = ip_len();
  M_PackageHeader = reinterpret_cast<PackageHeader *>(buf);
  M_PackageHeader->ucPackageVer = PACKAGE_VER;
  M_PackageHeader->usPackageLen = 0;
  M_PackageHeader->ucPackageType = type;
  M_PackageHeader->ucIPLen = static_cast<uint8_t>(n);
  memcpy(buf + kHeaderLen, baseInfo.ucVirtualIP, static_cast<size_t>(n));
  buf[kHeaderLen + n] = modemSignal;
  return kHeaderLen + n + 1;
}

// Length-prefixed text without terminator; returns the offset after it.
int put_text(unsigned char *buf, int off, const char *text, size_t field) {
  const size_t n = strnlen(text, field);
  buf[off] = static_cast<unsigned char>(n);
  memcpy(buf + off + 1, text, n);
  return off + 1 + static_cast<int>(n);
}

// Prefix, section count 1 and the section head; returns the data offset.
int put_section(unsigned char *buf, uint16_t port, uint16_t datalen) {
  int off = put_prefix(buf, PACKAGE_TYPE_DATA);
  buf[off++] = 1;
  put16(buf + off, port);
  put16(buf + off + 2, datalen);
  return off + kSectionHead;
}

void finish(int len) {
  usSendDataLen = static_cast<uint16_t>(len);
  M_PackageHeader->usPackageLen = usSendDataLen;
}

int section_room() { return PACKET_BUF_SIZE - (kHeaderLen + ip_len() + 1 + 1 + kSectionHead); }

// One serial burst of iLen bytes from the slot's port, plain or bridged.
void make_com_pack(unsigned char *buf, int slot, uint8_t bridged, int iLen) {
  const int n = iLen < BurstCapacity(slot) ? (iLen > 0 ? iLen : 0) : BurstCapacity(slot);
  const int data = put_section(buf, static_cast<uint16_t>(slot), 0);
  int got = -1;
  if (bridged != 0) {
    got = RTU2TCP_Response(slot, buf + data, n);
  } else {
    // What the port delivered, never stale buffer bytes beyond it.
    got = UART_Recv(baseInfo.comInfo[slot].port, reinterpret_cast<char *>(buf + data), n);
  }
  if (got <= 0) {
    usSendDataLen = 0;  // nothing to send for this burst
    return;
  }
  put16(buf + data - 2, static_cast<uint16_t>(got));
  finish(data + got);
}

// All pending lines of a reply ring that fit one packet; the rest stay
// queued for the next one.
void drain_replies(unsigned char *buf, uint16_t port, Job4Cmd &q, int pending, bool indexed) {
  const int data = put_section(buf, port, 0);
  const int room = section_room();
  int total = 0;
  if (pending > JOB4CMD_SLOTS) pending = JOB4CMD_SLOTS;
  for (int i = 0; i < pending; i++) {
    const uint32_t out = q.out % JOB4CMD_SLOTS;
    int len = q.bDataLen[out];
    if (len > JOB4CMD_TEXT) len = JOB4CMD_TEXT;
    if (total + len > room) break;
    const char *line = q.bData[out];
    if (indexed) {
      PrintMsg("    out_reply(%d)[%d, %d]:%.*s\r\n", i, len, static_cast<int>(out), len, line);
    } else {
      PrintMsg("    out_reply[%d, %d]:%.*s\r\n", len, static_cast<int>(out), len, line);
    }
    memcpy(buf + data + total, line, static_cast<size_t>(len));
    total += len;
    q.out = (out + 1) % JOB4CMD_SLOTS;
  }
  PrintMsg("----all reply[%d]: %.*s\r\n", total, total, reinterpret_cast<char *>(buf + data));
  put16(buf + data - 2, static_cast<uint16_t>(total));
  finish(data + total);
}

}  // namespace

extern "C" {

int BurstCapacity(int slot) {
  const uint8_t bridged = slot == 2 ? baseInfo.isTCP2RTU2 : baseInfo.isTCP2RTU1;
  int room = section_room();
  if (bridged != 0) {
    // the response carries 4 bytes more than it takes from the line
    room -= 4;
    if (room > BRIDGE_BUF_SIZE - 6) room = BRIDGE_BUF_SIZE - 6;
  }
  return room;
}

void makeInitPack(unsigned char *buf) {
  int off = put_prefix(buf, PACKAGE_TYPE_INIT);
  buf[off++] = netInterface;
  buf[off++] = 0;
  off = put_text(buf, off, cModuleName, sizeof cModuleName);
  off = put_text(buf, off, baseInfo.ucModuleAlias, sizeof baseInfo.ucModuleAlias);
  off = put_text(buf, off, cFWVersion, sizeof cFWVersion);
  buf[off++] = kComNum;
  put16(buf + off, baseInfo.usHeartbeatTime);
  off += 2;
  buf[off++] = kInitConstant;
  baseInfo.usServerTimeDelay = kServerTimeDelay;
  put16(buf + off, baseInfo.usServerTimeDelay);
  off += 2;
  memset(buf + off, 0, kInitReserved);
  finish(off + kInitReserved);
}

void makeHearbeatPack(unsigned char *buf) { finish(put_prefix(buf, PACKAGE_TYPE_HEARTBEAT)); }

void makeVerifyPack(unsigned char *buf) {
  const int data = put_section(buf, COM_PORT_VERIFY, kVerifyLen);
  const uint32_t v = static_cast<uint32_t>(lVerifyData);
  for (int i = 0; i < kVerifyLen; i++) buf[data + i] = static_cast<unsigned char>(v >> (8 * i));
  finish(data + kVerifyLen);
}

void makeCOM2Pack(unsigned char *buf) { make_com_pack(buf, 1, baseInfo.isTCP2RTU1, iRS485Len); }

void makeCOM3Pack(unsigned char *buf) { make_com_pack(buf, 2, baseInfo.isTCP2RTU2, iRS232Len); }

void makeQYCOMPack(unsigned char *buf) {
  drain_replies(buf, COM_PORT_QYCOM, M_Job4Cmd, QYCOM_IsCom(), true);
}

void makeQYIOPack(unsigned char *buf) {
  drain_replies(buf, COM_PORT_QYIO, VIO_Reply, QYIO_IsCom(), false);
}

int makeHeartbeatBurst(unsigned char *buf, int len) {
  int s = len;
  while (len > 0 && s < HEARTBEAT_BURST_LIMIT - len) {
    memcpy(buf + s, buf, static_cast<size_t>(len));
    s += len;
  }
  usSendDataLen = static_cast<uint16_t>(s - len);
  return usSendDataLen;
}

}  // extern "C"

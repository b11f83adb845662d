// Modbus bridge of the port sections: a Modbus TCP request loses its
// 6-byte header (kept per port) and gains the RTU CRC on the line; the RTU
// response gets the kept header back, with the length rewritten, and loses
// its CRC once it has been checked.
#include "tcp2rtu.h"

#include <string.h>

#include "crc16.h"
#include "qycomm.h"
#include "settings.h"
#include "my_uart.h"

unsigned char tcp2rtuHeaderBuffer1[6];
unsigned char tcp2rtuHeaderBuffer2[6];

namespace {

constexpr int kHeaderLen = 6;    // transaction id, protocol id, length
constexpr int kLengthField = 4;  // MBAP length: bytes 4..5, big-endian
constexpr int kCrcLen = 2;       // RTU CRC, low byte first
constexpr int kWorkBuf = 1024;
constexpr int kMaxRequest = kWorkBuf - kCrcLen;     // section plus CRC must fit
constexpr int kMaxResponse = kWorkBuf - kHeaderLen;  // header plus serial bytes must fit

unsigned char *slot_header(int slot) {
  if (slot == 1) return tcp2rtuHeaderBuffer1;
  if (slot == 2) return tcp2rtuHeaderBuffer2;
  return nullptr;
}

unsigned char slot_port(int slot) { return baseInfo.comInfo[slot].port; }

// Reads n bytes from the port: as many as fit into buf (cap), the rest
// into a scratch buffer and away. Returns how many were delivered.
int take_from_port(unsigned char port, unsigned char *buf, int cap, int n) {
  int got = 0;
  const int keep = n < cap ? n : cap;
  if (keep > 0) {
    const int rc = UART_Recv(port, reinterpret_cast<char *>(buf), keep);
    got = rc > 0 ? rc : 0;
  }
  char scratch[kWorkBuf];
  for (int left = n - keep; left > 0;) {
    const int chunk = left < kWorkBuf ? left : kWorkBuf;
    const int rc = UART_Recv(port, scratch, chunk);
    if (rc <= 0) break;
    got += rc;
    left -= rc;
  }
  return got;
}

bool crc_matches(unsigned char *frame, int n) {
  const int crc = getCRC16(frame, 0, n - kCrcLen);
  const int sent = frame[n - 2] | (frame[n - 1] << 8);
  if (crc == sent) return true;
  PrintMsg("  RTU response dropped: CRC %04X, expected %04X, len=%d\r\n", sent, crc, n);
  return false;
}

}  // namespace

extern "C" {

int TCP2RTU_Request(int slot, const unsigned char *data, int len) {
  unsigned char *header = slot_header(slot);
  if (header == nullptr || data == nullptr) return TCP2RTU_NO_SLOT;
  if (len < kHeaderLen || len > kMaxRequest) {
    PrintMsg("  Modbus TCP request refused: len=%d\r\n", len);
    return TCP2RTU_REFUSED;
  }
  memcpy(header, data, kHeaderLen);
  unsigned char frame[kWorkBuf];
  const int rtu = len - kHeaderLen;  // unit id and PDU
  memcpy(frame, data + kHeaderLen, static_cast<size_t>(rtu));
  const int crc = getCRC16(frame, 0, rtu);
  frame[rtu] = static_cast<unsigned char>(crc & 0xFF);
  frame[rtu + 1] = static_cast<unsigned char>(crc >> 8);
  return UART_Send(slot_port(slot), frame, rtu + kCrcLen) == 0 ? TCP2RTU_OK : TCP2RTU_SEND_FAILED;
}

int RTU2TCP_Response(int slot, unsigned char *out, int n) {
  const unsigned char *header = slot_header(slot);
  if (header == nullptr || n <= 0) return RTU2TCP_DROPPED;
  unsigned char work[kWorkBuf] = {};
  unsigned char *frame = work + kHeaderLen;
  const int got = take_from_port(slot_port(slot), frame, kMaxResponse, n);
  if (n < kCrcLen || n > kMaxResponse || got != n) {
    PrintMsg("  RTU response dropped: len=%d, read %d\r\n", n, got);
    return RTU2TCP_DROPPED;
  }
  if (out == nullptr || !crc_matches(frame, n)) return RTU2TCP_DROPPED;
  memcpy(work, header, kHeaderLen);
  const int mbapLen = n - kCrcLen;  // unit id and PDU
  work[kLengthField] = static_cast<unsigned char>(mbapLen >> 8);
  work[kLengthField + 1] = static_cast<unsigned char>(mbapLen & 0xFF);
  memcpy(out, work, static_cast<size_t>(n + kHeaderLen - kCrcLen));
  return n + kHeaderLen - kCrcLen;
}

}  // extern "C"

// The server's byte stream through the daemon's whole receive handling:
// header checks, the section walk, both command channels (ports 256, 257),
// the verify challenge and the Modbus bridge, with the two serial lines on
// pseudo-terminals in a sandbox and the socket replaced by the reads this
// target cuts from the input. Between reads the pending replies are
// drained and the verify answer built, as the main loop's passes do, and
// every packet built for the server is sound: within the send buffer, its
// length field the packet's length, one section that fills the rest.
//
// Input:
//   byte 0  flags: bit 0 / bit 1 RS-485 / RS-232 bridged (Modbus TCP to
//           RTU); bit 2 virtual COM echo on; bit 3 replies stay queued
//           (no drain, so the rings fill); bit 4 a field device on each
//           line answers every frame with its copy (bit 5: last byte
//           damaged), and the answer goes back as the line's data packet;
//           bit 6 the rest describes packets (fuzzkit::append_packets)
//           that the target lays out soundly, so changes of a command
//           keep its packet whole
//   byte 1  how the stream is cut into reads: 0 one read per packet by its
//           length field (a server writing whole packets, read whole);
//           otherwise read sizes of 1 .. 6 * cut bytes (at most 1500) from
//           a generator seeded with it
//   rest    (bit 6 clear) the stream as the server means it, before
//           scrambling: the target scrambles it with the build's table, so
//           the corpus holds for any table and comparisons land on input
//           bytes.
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "daemon.h"
#include "fuzzkit.h"
#include "packet.h"
#include "qycom.h"
#include "qycomm.h"
#include "qyio.h"
#include "settings.h"
#include "tcp2rtu.h"
#include "my_uart.h"
#include "uart.h"

namespace {

constexpr uint8_t kBridge485 = 0x01, kBridge232 = 0x02, kEcho = 0x04, kNoDrain = 0x08;
constexpr uint8_t kDevice = 0x10, kDamage = 0x20, kBuilt = 0x40;
constexpr size_t kReadMax = PACKET_BUF_SIZE;  // one receive takes at most this

int g_line[3] = {-1, -1, -1};  // pty masters of slots 1 and 2
COM_INFO g_default_com[3];     // the port settings of the defaults
bool g_reopen = true;          // port settings changed by a command: reopen

// One read as the socket layer hands it to the daemon: scrambled, in a
// buffer of exactly its size so the sanitizer sees any read beyond it.
void deliver_read(const uint8_t *plain, size_t n) {
  std::vector<unsigned char> buf(plain, plain + n);
  EncodePacket(buf.data(), static_cast<int>(n));
  HandleServerPacket(buf.data(), static_cast<int>(n));
}

void reset_daemon(uint8_t flags) {
  Default_BaseInfo();
  baseInfo.isTCP2RTU1 = (flags & kBridge485) != 0;
  baseInfo.isTCP2RTU2 = (flags & kBridge232) != 0;
  SetConfigFile("/quarne/qysc/qyserver.ini");
  memset(&M_Job4Cmd, 0, sizeof M_Job4Cmd);
  memset(&VIO_Reply, 0, sizeof VIO_Reply);
  iCmdEcho = (flags & kEcho) != 0;
  isVIORelink = isVIOReboot = 0;
  receive_reset();  // no packet begun by the previous input
  memset(tcp2rtuHeaderBuffer1, 0, sizeof tcp2rtuHeaderBuffer1);
  memset(tcp2rtuHeaderBuffer2, 0, sizeof tcp2rtuHeaderBuffer2);
  iUploadPackageFlag = UPLOAD_NORMAL;
  lVerifyData = 0;
  modemSignal = 0;
  netInterface = 1;
  if (g_reopen) {
    ReOpenCom(1);
    ReOpenCom(2);
    g_reopen = false;
  }
  for (int slot = 1; slot <= 2; slot++) {
    fuzzkit::drain(g_line[slot]);
    UART_RxClear(static_cast<unsigned char>(slot));
  }
}

// The packet just built in the send buffer, as the server will judge it.
void check_packet(const char *what) {
  const size_t n = usSendDataLen;
  if (n == 0) return;  // nothing to send
  const uint8_t *p = ucSendData;
  if (n > PACKET_BUF_SIZE || p[0] != PACKAGE_VER || wire_get16(p + 1) != n ||
      p[3] != PACKAGE_TYPE_DATA) {
    fuzzkit::fail("%s packet of %zu bytes has the header %02X %02X %02X %02X", what, n, p[0], p[1],
                  p[2], p[3]);
  }
  const size_t head = wire_prefix_len(p) + 1 + PACKAGE_SECTION_HEAD;
  if (!wire_sections_fit(p, n) || wire_section_count(p) != 1 ||
      head + wire_get16(p + head - 2) != n) {
    fuzzkit::fail("%s packet of %zu bytes: its section does not fill it", what, n);
  }
}

// A pseudo-terminal hands written bytes to the far end a moment after the
// write; a read or a poll at the far end waits for that hand-over (a queue
// length alone does not), so what each side sees is exact.

// Bytes waiting at the daemon's port, once the terminal has handed them on.
int line_waiting(int slot) {
  struct pollfd p = {ComPortData[slot].hFile, POLLIN, 0};
  if (p.fd >= 0) poll(&p, 1, 0);
  return UART_DataSizeInCom(static_cast<unsigned char>(slot));
}

// The field device: what the daemon put on the line comes back as the
// device's answer, and the daemon takes it into the line's data packet.
void device_answers(int slot, bool damage) {
  unsigned char frame[1024];
  const ssize_t n = read(g_line[slot], frame, sizeof frame);
  fuzzkit::drain(g_line[slot]);
  if (n <= 0) return;
  if (damage) frame[n - 1] ^= 0x5A;
  if (write(g_line[slot], frame, static_cast<size_t>(n)) != n) return;
  if (slot == 1) {
    iRS485Len = line_waiting(slot);
    makeCOM2Pack(ucSendData);
  } else {
    iRS232Len = line_waiting(slot);
    makeCOM3Pack(ucSendData);
  }
  check_packet("line data");
}

// What the passes between two receives do with the results of a packet.
void between_reads(uint8_t flags) {
  if (iUploadPackageFlag == UPLOAD_VERIFY) {
    makeVerifyPack(ucSendData);
    check_packet("verify answer");
    iUploadPackageFlag = UPLOAD_NORMAL;
  }
  if ((flags & kNoDrain) == 0) {
    if (QYCOM_IsCom() != 0) {
      makeQYCOMPack(ucSendData);
      check_packet("virtual COM reply");
    }
    if (QYIO_IsCom() != 0) {
      makeQYIOPack(ucSendData);
      check_packet("configuration reply");
    }
  }
  if ((flags & kDevice) != 0) {
    device_answers(1, (flags & kDamage) != 0);
    device_answers(2, (flags & kDamage) != 0);
  }
}

// Size of the next read at the front of the plain stream.
size_t next_read(const uint8_t *p, size_t left, uint8_t cut, fuzzkit::Rng &rng) {
  size_t n;
  if (cut == 0) {
    n = left >= 3 ? static_cast<size_t>(p[1] | p[2] << 8) : left;
    if (n == 0) n = 1;
  } else {
    const size_t most = 6u * cut;
    n = 1 + rng.next() % (most < kReadMax ? most : kReadMax);
  }
  if (n > kReadMax) n = kReadMax;
  return n < left ? n : left;
}

// True when a command left a port with other settings, or closed.
bool ports_changed() {
  const bool changed = memcmp(g_default_com, baseInfo.comInfo, sizeof g_default_com) != 0;
  return changed || hComUse[1] == 0 || hComUse[2] == 0 || ComPortData[1].hFile < 0 ||
         ComPortData[2].hFile < 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  fuzzkit::quiet_stdout();
  g_line[1] = fuzzkit::add_pty("/dev/ttyS1");
  g_line[2] = fuzzkit::add_pty("/dev/ttyS2");
  Default_BaseInfo();
  memcpy(g_default_com, baseInfo.comInfo, sizeof g_default_com);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzzkit::Reader in(data, size);
  const uint8_t flags = in.byte();
  const uint8_t cut = in.byte();
  std::vector<uint8_t> stream;
  if ((flags & kBuilt) != 0) {
    fuzzkit::append_packets(in, stream);
  } else {
    size_t n = 0;
    const uint8_t *rest = in.rest(&n);
    stream.assign(rest, rest + n);
  }
  const uint8_t *p = stream.data();
  size_t left = stream.size();
  reset_daemon(flags);
  fuzzkit::Rng rng(cut);
  while (left > 0) {
    const size_t n = next_read(p, left, cut, rng);
    deliver_read(p, n);
    between_reads(flags);
    p += n;
    left -= n;
  }
  g_reopen = ports_changed();
  return 0;
}

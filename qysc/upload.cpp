// The upload state machine iUploadPackageFlag: at most one packet per pass
// on a live link (init, heartbeat burst, verify answer, or in the normal
// state a serial burst or the pending command replies), the judgement of
// every write, and how long the pass may then wait.
//
// The normal state serves four sources: the RS-485 burst, the RS-232
// burst, the virtual COM replies, the configuration replies. Each pass the
// first source that has something to send goes, searching in that order
// but starting after the source that sent last. So RS-485 goes first when
// both lines are due, a line that has just sent yields to the other, and
// under sustained load on both lines they alternate and the replies still
// get every third or fourth packet. A line whose bytes are not yet due
// holds nothing back: its queue simply waits for its gap.
#include "daemon.h"

#include "acklink.h"
#include "linehold.h"
#include "my_uart.h"
#include "net.h"
#include "packet.h"
#include "qycom.h"
#include "qycomm.h"
#include "qyio.h"
#include "scramble.h"
#include "settings.h"

int iUploadPackageFlag;
uint32_t ulHeartbeatOldTime;
int32_t lVerifyData;

namespace {

DaemonLoop &L = qysc_loop;

constexpr uint32_t kPassWaitUs = 5000;  // the longest wait of a pass: it paces the loop

// The sources of the normal state, in their order.
enum Source { kRs485, kRs232, kQycom, kQyio, kSourceCount };

int port_of(int slot) { return baseInfo.comInfo[slot].port; }

// Scrambles the len bytes built in the send buffer and writes them; the
// write's result.
int send_packet(int len) {
  usSendDataLen = static_cast<uint16_t>(len);
  encode_func(ucSendData, len, 0);
  return net_write(L.sockfd, ucSendData, len);
}

// Judges the write; a packet that went out is noted (packet_sent).
bool written(int rc) {
  if (checkWriteStaus(rc, L.sockfd) != WRITE_OK) return false;
  packet_sent();
  return true;
}

// Each upload state's and each source's work; true when the packet it sent
// answered "@RELINK" (the link state machine then drops the link).
bool upload_init() {
  QYCOM_ClearBuffer();
  L.lastSent = kSourceCount - 1;  // RS-485 first
  baseInfo.usServerTimeDelay = INIT_SERVER_DELAY;  // what the init packet announces
  const int len = build_init(ucSendData, PACKET_BUF_SIZE);
  const int rc = send_packet(len);
  PrintMsg("--> socket write: init data, result = %d, usSendDataLen=%d\r\n", rc, len);
  written(rc);
  if (ack_active()) return false;  // they are the stream's: kept, resent after the hello
  // serial bytes from before the link came up are dropped
  UART_RxClear(port_of(2));
  UART_RxClear(port_of(1));
  qysc_lines[1].lenNow = qysc_lines[2].lenNow = 0;
  return false;
}

// How each serial line's bursts are logged.
struct LineLog {
  int slot;
  const char *read;
  const char *write;
};

const LineLog kLineLogs[] = {
    {1, "-- read Data from RS485, len= %d\r\n", "-->socket write: COM(485) data\r\n"},
    {2, "-- read Data From RS232 = %d\r\n", "--> socket write: COM(232) data\r\n"},
};

// A line's queue: the bytes its waits have read (a line is read as its
// bytes come), so counting it is no system call.
int line_count(int slot) { return hold_count(static_cast<unsigned char>(port_of(slot))); }

void count_lines() {
  for (int slot = 1; slot <= 2; slot++) qysc_lines[slot].lenNow = line_count(slot);
}

bool line_due(int slot, uint32_t now, uint32_t us) {
  return qysc_lines[slot].lenNow != 0 && BurstDueAt(slot, now, us) != 0;
}

// A burst's lines go out in one write (a wait on the way lets them go).
void send_burst(const LineLog &log) {
  SerialLine &l = qysc_lines[log.slot];
  PrintHold();
  PrintMsg(log.read, l.len);
  const int len = build_line_data(ucSendData, PACKET_BUF_SIZE, log.slot, l.len);
  l.len = 0;
  l.lenNow = line_count(log.slot);  // what stays is a new burst
  usSendDataLen = static_cast<uint16_t>(len);
  if (len > 0) {  // else taken from the port, nothing to send
    const int rc = send_packet(len);
    PrintMsg("%s", log.write);
    written(rc);
  }
  PrintRelease();
}

// Sends the pending replies of one channel; the write's judgement.
bool send_replies(const char *countLog, const char *writeLog, uint16_t port, int pending) {
  PrintMsg(countLog, pending);
  const int len = build_replies(ucSendData, PACKET_BUF_SIZE, port);
  PrintMsg(writeLog, len);
  return written(send_packet(len));
}

bool serve_rs485() {
  send_burst(kLineLogs[0]);
  return false;
}

bool serve_rs232() {
  send_burst(kLineLogs[1]);
  return false;
}

bool serve_qycom() {
  send_replies("-- QYCOM_IsCom()=%d\r\n", "--> socket write: qycomm reply, len=%d\r\n",
               COM_PORT_QYCOM, QYCOM_IsCom());
  return false;
}

bool serve_qyio() {
  if (!send_replies("-- QYIO_IsCom()=%d\r\n", "--> socket write: qyio reply, len=%d\r\n",
                    COM_PORT_QYIO, QYIO_IsCom())) {
    return false;
  }
  if (isVIORelink != 1) return false;
  isVIORelink = 0;  // the "!RELINK;OK" reply is out: now drop
  return true;
}

bool (*const kServe[kSourceCount])() = {serve_rs485, serve_rs232, serve_qycom, serve_qyio};

// The first ready source after the one that sent last serves.
bool serve_next(const bool *ready, bool (*const *serve)()) {
  for (int i = 1; i <= kSourceCount; i++) {
    const int s = (L.lastSent + i) % kSourceCount;
    if (!ready[s]) continue;
    L.lastSent = s;
    return serve[s]();
  }
  return false;
}

// The acknowledged link: the lines' bursts go to the retained buffer as
// they come due, and the buffer's oldest unsent burst is the lines' one
// source; a hello or acknowledgement due goes before everything.
bool serve_retained() {
  int slot = 0;
  const int len = ack_data(ucSendData, PACKET_BUF_SIZE, &slot);
  if (len == 0) return false;
  const int rc = send_packet(len);
  PrintMsg("%s", kLineLogs[slot - 1].write);
  if (written(rc)) ack_data_sent();
  return false;
}

bool (*const kServeAck[kSourceCount])() = {serve_retained, serve_rs232, serve_qycom, serve_qyio};

bool upload_ack(uint32_t now, uint32_t us) {
  const int control = ack_control(ucSendData, PACKET_BUF_SIZE);
  if (control > 0) {
    if (written(send_packet(control))) ack_control_sent();
    return false;
  }
  for (const LineLog &log : kLineLogs) {
    if (!line_due(log.slot, now, us)) continue;
    PrintMsg(log.read, qysc_lines[log.slot].len);
    ack_take(log.slot);
  }
  const bool ready[kSourceCount] = {ack_data_ready(), false,
                                    QYCOM_IsCom() != 0, QYIO_IsCom() != 0};
  return serve_next(ready, kServeAck);
}

bool upload_normal() {
  uint32_t us = 0;
  const uint32_t now = pass_ticks(&us);
  if (ack_active()) return upload_ack(now, us);
  const bool ready[kSourceCount] = {line_due(1, now, us), line_due(2, now, us),
                                    QYCOM_IsCom() != 0, QYIO_IsCom() != 0};
  return serve_next(ready, kServe);
}

bool upload_heartbeat() {
  const int one = build_heartbeat(ucSendData, PACKET_BUF_SIZE);
  encode_func(ucSendData, one, 0);
  const int burst = build_heartbeat_burst(ucSendData, PACKET_BUF_SIZE, one);
  usSendDataLen = static_cast<uint16_t>(burst);
  const int rc = net_write(L.sockfd, ucSendData, burst);
  PrintMsg("--> socket write: heart beat, len=%d\r\n", burst);
  written(rc);
  return false;
}

bool upload_verify() {
  const int rc = send_packet(build_verify(ucSendData, PACKET_BUF_SIZE, lVerifyData));
  PrintMsg("--> socket write: Verify data\r\n");
  written(rc);
  return false;
}

bool (*const kUploadStates[])() = {upload_init, upload_normal, upload_heartbeat, upload_verify};

// A period of 0 would send a 1428-byte burst on every idle pass of the
// loop and flood the cellular link: the shortest period is one second.
uint32_t heartbeat_period_ms() {
  return (baseInfo.usHeartbeatTime > 0 ? baseInfo.usHeartbeatTime : 1u) * 1000u;
}

bool lines_empty() { return qysc_lines[1].lenNow == 0 && qysc_lines[2].lenNow == 0; }

// No heartbeat while either line holds bytes.
void heartbeat_due() {
  if (pass_ticks(nullptr) - ulHeartbeatOldTime > heartbeat_period_ms() &&
      iUploadPackageFlag == UPLOAD_NORMAL && lines_empty()) {
    upload_set(UPLOAD_HEARTBEAT);
  }
}

// The first of what comes due by itself in the normal state: a line's
// burst (its gap over), the heartbeat, an acknowledgement.
uint32_t first_due_us(uint32_t now, uint32_t us) {
  const uint32_t heartbeat =
      lines_empty() ? us_until(ulHeartbeatOldTime + heartbeat_period_ms() + 1, now, us) : UINT32_MAX;
  const uint32_t due[] = {ack_due_us(now, us), heartbeat, BurstDueInUs(1, now, us),
                          BurstDueInUs(2, now, us)};
  uint32_t wait = UINT32_MAX;
  for (const uint32_t d : due) wait = d < wait ? d : wait;
  return wait;
}

}  // namespace

void upload_set(int state) {
  // The first heartbeat is timed from the connect, every other from the
  // packet before it.
  const bool after_packet = iUploadPackageFlag != UPLOAD_INIT;
  if (state == UPLOAD_NORMAL && after_packet) ulHeartbeatOldTime = pass_ticks(nullptr);
  iUploadPackageFlag = state;
}

void packet_sent() { upload_set(UPLOAD_NORMAL); }

void request_verify(int32_t answer) {
  lVerifyData = answer;
  upload_set(UPLOAD_VERIFY);  // replaces whatever was pending, init included
}

bool upload_step() {
  count_lines();
  heartbeat_due();
  if (iUploadPackageFlag < UPLOAD_INIT || iUploadPackageFlag > UPLOAD_VERIFY) return false;
  return kUploadStates[iUploadPackageFlag]();
}

uint32_t upload_wait_us(uint32_t now, uint32_t us) {
  if (iUploadPackageFlag != UPLOAD_NORMAL) return kPassWaitUs;  // a packet to send again
  if (QYCOM_IsCom() != 0 || QYIO_IsCom() != 0) return 0;       // replies waiting their turn
  if (ack_sending()) return 0;                                  // a retained burst or a hello
  for (int slot = 1; slot <= 2; slot++) {
    if (line_count(slot) != qysc_lines[slot].lenNow) return 0;  // read since: judged next pass
  }
  return first_due_us(now, us);
}

extern "C" int checkWriteStaus(int rc, int sockfd) {
  if (rc > 0) return WRITE_OK;
  if (++L.writeFailures <= WriteCounterMax) {
    PrintMsg("write fail, rc=%d\r\n", rc);
    return WRITE_COUNTED;
  }
  PrintMsg("iWriteFailCounter > WriteCounterMax --> close socket, rc=%d\r\n", rc);
  L.writeFailures = 0;
  L.sockfd = sockfd;  // the link judged is the link dropped
  drop_link(Drop::kWriteFailures);
  return WRITE_DROPPED;
}

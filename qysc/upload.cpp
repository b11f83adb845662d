// The upload state machine iUploadPackageFlag: at most one packet per pass
// on a live link (init, heartbeat burst, verify answer, or in the normal
// state a serial burst or the pending command replies), and the judgement
// of every write.
#include "daemon.h"

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

int port_of(int slot) { return baseInfo.comInfo[slot].port; }

// Scrambles the len bytes built in the send buffer and writes them; the
// write's result.
int send_packet(int len) {
  usSendDataLen = static_cast<uint16_t>(len);
  encode_func(ucSendData, len, 0);
  return net_write(L.sockfd, ucSendData, len);
}

bool written(int rc) { return checkWriteStaus(rc, L.sockfd) == WRITE_OK; }

void upload_init() {
  QYCOM_ClearBuffer();
  baseInfo.usServerTimeDelay = INIT_SERVER_DELAY;  // what the init packet announces
  const int len = build_init(ucSendData, PACKET_BUF_SIZE);
  const int rc = send_packet(len);
  PrintMsg("--> socket write: init data, result = %d, usSendDataLen=%d\r\n", rc, len);
  if (written(rc)) upload_set(UPLOAD_NORMAL);
  // serial bytes from before the link came up are dropped
  UART_RxClear(port_of(2));
  UART_RxClear(port_of(1));
}

struct SerialLine {
  int slot;
  int *lenNow;
  int *len;
  const char *readLog;
  const char *writeLog;
};

const SerialLine kSerialLines[] = {
    {1, &iRS485LenNow, &iRS485Len, "-- read Data from RS485, len= %d\r\n",
     "-->socket write: COM(485) data\r\n"},
    {2, &iRS232LenNow, &iRS232Len, "-- read Data From RS232 = %d\r\n",
     "--> socket write: COM(232) data\r\n"},
};

void send_burst(const SerialLine &l) {
  PrintMsg(l.readLog, *l.len);
  const int len = build_line_data(ucSendData, PACKET_BUF_SIZE, l.slot, *l.len);
  *l.len = 0;
  usSendDataLen = static_cast<uint16_t>(len);
  if (len == 0) return;  // taken from the port, nothing to send
  const int rc = send_packet(len);
  PrintMsg("%s", l.writeLog);
  if (written(rc)) ulHeartbeatOldTime = GetTimeTicks();
}

// True when the line has bytes waiting (it then holds the pass, due or not).
bool serve_line(const SerialLine &l) {
  *l.lenNow = UART_DataSizeInCom(port_of(l.slot));
  if (*l.lenNow == 0) return false;
  if (BurstDue(l.slot, GetTimeTicks())) send_burst(l);
  return true;
}

// Sends the pending replies of one channel; the write's judgement.
bool send_replies(const char *countLog, const char *writeLog, uint16_t port, int pending) {
  PrintMsg(countLog, pending);
  const int len = build_replies(ucSendData, PACKET_BUF_SIZE, port);
  PrintMsg(writeLog, len);
  return written(send_packet(len));
}

bool serve_qycom() {
  const int n = QYCOM_IsCom();
  if (n == 0) return false;
  if (send_replies("-- QYCOM_IsCom()=%d\r\n", "--> socket write: qycomm reply, len=%d\r\n",
                   COM_PORT_QYCOM, n)) {
    ulHeartbeatOldTime = GetTimeTicks();
  }
  return true;
}

bool serve_qyio() {
  const int n = QYIO_IsCom();
  if (n == 0) return false;
  if (!send_replies("-- QYIO_IsCom()=%d\r\n", "--> socket write: qyio reply, len=%d\r\n",
                    COM_PORT_QYIO, n)) {
    return true;
  }
  ulHeartbeatOldTime = GetTimeTicks();
  if (isVIORelink == 1) {  // the "!RELINK;OK" reply is out: now drop
    isVIORelink = 0;
    drop_link(Drop::kRelink);
  }
  return true;
}

void upload_normal() {
  // Fixed priority: RS-485, RS-232, virtual COM replies, configuration replies.
  if (serve_line(kSerialLines[0]) || serve_line(kSerialLines[1])) return;
  if (serve_qycom()) return;
  serve_qyio();
}

void upload_heartbeat() {
  const int one = build_heartbeat(ucSendData, PACKET_BUF_SIZE);
  encode_func(ucSendData, one, 0);
  const int burst = build_heartbeat_burst(ucSendData, PACKET_BUF_SIZE, one);
  usSendDataLen = static_cast<uint16_t>(burst);
  const int rc = net_write(L.sockfd, ucSendData, burst);
  PrintMsg("--> socket write: heart beat, len=%d\r\n", burst);
  if (written(rc)) {
    ulHeartbeatOldTime = GetTimeTicks();
    upload_set(UPLOAD_NORMAL);
  }
}

void upload_verify() {
  const int rc = send_packet(build_verify(ucSendData, PACKET_BUF_SIZE, lVerifyData));
  PrintMsg("--> socket write: Verify data\r\n");
  if (written(rc)) {
    upload_set(UPLOAD_NORMAL);
    ulHeartbeatOldTime = GetTimeTicks();
  }
}

void (*const kUploadStates[])() = {upload_init, upload_normal, upload_heartbeat, upload_verify};

// A period of 0 would send a 1428-byte burst on every idle pass of the
// loop and flood the cellular link: the shortest period is one second.
uint32_t heartbeat_period_ms() {
  return (baseInfo.usHeartbeatTime > 0 ? baseInfo.usHeartbeatTime : 1u) * 1000u;
}

void heartbeat_due() {
  if (GetTimeTicks() - ulHeartbeatOldTime > heartbeat_period_ms() &&
      iUploadPackageFlag == UPLOAD_NORMAL && UART_DataSizeInCom(port_of(1)) == 0 &&
      UART_DataSizeInCom(port_of(2)) == 0) {
    upload_set(UPLOAD_HEARTBEAT);
  }
}

}  // namespace

void upload_set(int state) { iUploadPackageFlag = state; }

void request_verify(int32_t answer) {
  lVerifyData = answer;
  upload_set(UPLOAD_VERIFY);  // replaces whatever was pending, init included
}

void upload_step() {
  heartbeat_due();
  if (iUploadPackageFlag >= UPLOAD_INIT && iUploadPackageFlag <= UPLOAD_VERIFY) {
    kUploadStates[iUploadPackageFlag]();
  }
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

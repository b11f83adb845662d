// The daemon's start-up and main loop: watchdog, status LED, modem
// information, the one-time serial open, the link state machine and the
// upload state machine with its fixed send priority.
#include "daemon.h"

#include <stdio.h>
#include <string.h>
#include <sys/time.h>
#include <unistd.h>

#include "net.h"
#include "packet.h"
#include "quarne.h"
#include "qycom.h"
#include "qycomm.h"
#include "qyio.h"
#include "scramble.h"
#include "settings.h"
#include "type.h"

int iGPRSStep;
int iUploadPackageFlag;
int iCOMStep;
uint32_t ulHeartbeatOldTime;
uint32_t ulGPRSReconWaitTime;
int iRS485Len, iRS232Len, iRS485LenNow, iRS232LenNow;
uint32_t ulRS485LastTime, ulRS232LastTime;
int32_t lVerifyData;

namespace {

constexpr int kWdtTimeoutMs = 5000;
constexpr uint32_t kLedOnlineMs = 500;
constexpr uint32_t kLedOfflineMs = 2000;
constexpr uint32_t kModemInfoMs = 2000;
constexpr uint32_t kReconnectWaitMs = 1000;
constexpr unsigned kAfterConnectS = 1;
constexpr useconds_t kBeforeReconnectUs = 100000;
constexpr uint32_t kWaitPaceMs = 20;  // reconnect wait: sleep instead of spinning
constexpr int kLedStatus = 1;

struct LTimer {
  unsigned char isStart;
  uint32_t tmStart;
};

struct Loop {
  int sockfd = -1;
  LTimer tmStaLed = {0, 0};
  LTimer tmGetModemInfo = {0, 0};
};

Loop g;

bool elapsed(uint32_t since, uint32_t ms) { return GetTimeTicks() - since > ms; }

int port_of(int slot) { return baseInfo.comInfo[slot].port; }

// Scrambles and writes the packet in the send buffer; the write's result.
int write_packet() {
  encode_func(ucSendData, usSendDataLen, 0);
  return net_write(g.sockfd, ucSendData, usSendDataLen);
}

int check_write(int rc) {
  const int r = checkWriteStaus(rc, g.sockfd);
  if (r == -2) g.sockfd = -1;  // closed by the check
  return r;
}

void upload_init() {
  QYCOM_ClearBuffer();
  makeInitPack(ucSendData);
  const int rc = write_packet();
  PrintMsg("--> socket write: init data, result = %d, usSendDataLen=%d\r\n", rc, usSendDataLen);
  if (check_write(rc) == 0) iUploadPackageFlag = UPLOAD_NORMAL;
  // serial bytes from before the link came up are dropped
  UART_RxClear(port_of(2));
  UART_RxClear(port_of(1));
}

struct SerialLine {
  int slot;
  int *lenNow;
  int *len;
  void (*make)(unsigned char *buf);
  const char *readLog;
  const char *writeLog;
};

const SerialLine kSerialLines[] = {
    {1, &iRS485LenNow, &iRS485Len, makeCOM2Pack, "-- read Data from RS485, len= %d\r\n",
     "-->socket write: COM(485) data\r\n"},
    {2, &iRS232LenNow, &iRS232Len, makeCOM3Pack, "-- read Data From RS232 = %d\r\n",
     "--> socket write: COM(232) data\r\n"},
};

void send_burst(const SerialLine &l) {
  PrintMsg(l.readLog, *l.len);
  l.make(ucSendData);
  *l.len = 0;
  if (usSendDataLen == 0) return;  // taken from the port, nothing to send
  const int rc = write_packet();
  PrintMsg("%s", l.writeLog);
  if (check_write(rc) == 0) ulHeartbeatOldTime = GetTimeTicks();
}

// True when the line has bytes waiting (it then holds the pass, due or not).
bool serve_line(const SerialLine &l) {
  *l.lenNow = UART_DataSizeInCom(port_of(l.slot));
  if (*l.lenNow == 0) return false;
  if (BurstDue(l.slot, GetTimeTicks())) send_burst(l);
  return true;
}

bool serve_qycom() {
  const int n = QYCOM_IsCom();
  if (n == 0) return false;
  PrintMsg("-- QYCOM_IsCom()=%d\r\n", n);
  makeQYCOMPack(ucSendData);
  PrintMsg("--> socket write: qycomm reply, len=%d\r\n", usSendDataLen);
  if (check_write(write_packet()) == 0) ulHeartbeatOldTime = GetTimeTicks();
  return true;
}

bool serve_qyio() {
  const int n = QYIO_IsCom();
  if (n == 0) return false;
  PrintMsg("-- QYIO_IsCom()=%d\r\n", n);
  makeQYIOPack(ucSendData);
  PrintMsg("--> socket write: qyio reply, len=%d\r\n", usSendDataLen);
  if (check_write(write_packet()) != 0) return true;
  ulHeartbeatOldTime = GetTimeTicks();
  if (isVIORelink == 1) {
    isVIORelink = 0;
    iGPRSStep = GPRS_IDLE;
    net_close(g.sockfd);
    g.sockfd = -1;
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
  makeHearbeatPack(ucSendData);
  encode_func(ucSendData, usSendDataLen, 0);
  const int burst = makeHeartbeatBurst(ucSendData, usSendDataLen);
  const int rc = net_write(g.sockfd, ucSendData, burst);
  PrintMsg("--> socket write: heart beat, len=%d\r\n", burst);
  if (check_write(rc) == 0) {
    ulHeartbeatOldTime = GetTimeTicks();
    iUploadPackageFlag = UPLOAD_NORMAL;
  }
}

void upload_verify() {
  makeVerifyPack(ucSendData);
  const int rc = write_packet();
  PrintMsg("--> socket write: Verify data\r\n");
  if (check_write(rc) == 0) {
    iUploadPackageFlag = UPLOAD_NORMAL;
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
  if (elapsed(ulHeartbeatOldTime, heartbeat_period_ms()) &&
      iUploadPackageFlag == UPLOAD_NORMAL && UART_DataSizeInCom(port_of(1)) == 0 &&
      UART_DataSizeInCom(port_of(2)) == 0) {
    iUploadPackageFlag = UPLOAD_HEARTBEAT;
  }
}

void receive() {
  const int n = recv_NonBlocking(g.sockfd, ucRecvData, PACKET_BUF_SIZE);
  if (n > 0) {
    HandleServerPacket(ucRecvData, n);
  } else if (n == -2) {
    PrintMsg("recv --> return 0 --> socket be close, re-connect\r\n");
    net_close(g.sockfd);
    g.sockfd = -1;
    iGPRSStep = GPRS_CONNECT;
    iUploadPackageFlag = UPLOAD_INIT;
  }
}

void online() {
  heartbeat_due();
  if (iUploadPackageFlag >= UPLOAD_INIT && iUploadPackageFlag <= UPLOAD_VERIFY) {
    kUploadStates[iUploadPackageFlag]();
  }
  receive();
}

void connect_step() {
  g.sockfd = net_connect(baseInfo.ucServerIP, baseInfo.usServerPort);
  if (g.sockfd < 0) {
    ulGPRSReconWaitTime = GetTimeTicks();
    iGPRSStep = GPRS_WAIT;
    return;
  }
  ulHeartbeatOldTime = GetTimeTicks();
  sleep(kAfterConnectS);
  iGPRSStep = GPRS_ONLINE;
  iUploadPackageFlag = UPLOAD_INIT;
}

void wait_step() {
  const uint32_t since = GetTimeTicks() - ulGPRSReconWaitTime;
  if (since > kReconnectWaitMs) {
    ulGPRSReconWaitTime = GetTimeTicks();
    iGPRSStep = GPRS_CONNECT;
    usleep(kBeforeReconnectUs);
    return;
  }
  // Paced instead of spinning; the wait still ends just after 1000 ms.
  const uint32_t left = kReconnectWaitMs + 1 - since;
  usleep((left < kWaitPaceMs ? left : kWaitPaceMs) * 1000u);
}

void link_step() {
  switch (iGPRSStep) {
    case GPRS_IDLE: iGPRSStep = GPRS_CONNECT; break;
    case GPRS_CONNECT: connect_step(); break;
    case GPRS_WAIT: wait_step(); break;
    case GPRS_ONLINE: online(); break;
    default: break;
  }
}

void status_led() {
  const uint32_t period = iGPRSStep == GPRS_ONLINE ? kLedOnlineMs : kLedOfflineMs;
  if (elapsed(g.tmStaLed.tmStart, period)) {
    g.tmStaLed.tmStart = GetTimeTicks();
    setStaLed(2);
  }
}

void modem_info() {
  if (elapsed(g.tmGetModemInfo.tmStart, kModemInfoMs)) {
    g.tmGetModemInfo.tmStart = GetTimeTicks();
    ReadModemInfo();
  }
}

void open_ports() {
  if (iCOMStep != 0) return;
  PrintMsg("--> STP_COMALLINIT\r\n");
  ReOpenCom(1);
  ReOpenCom(2);
  iCOMStep = 1;
}

// The configuration path argument; 0 when it was "--ver".
int take_argument(int argc, char **argv) {
  if (argc != 2) return 1;
  if (strcmp(argv[1], "--ver") == 0) {
    PrintMsg("qysc version = %s %s\r\n", cFWVersion, cFWDate);
    return 0;
  }
  if (SetConfigFile(argv[1]) != 0) {
    PrintMsg("read config from: %s\r\n", configFile);
  } else {
    PrintMsg("config path too long (%d characters), using %s\r\n",
             static_cast<int>(strlen(argv[1])), configFile);
  }
  return 1;
}

}  // namespace

extern "C" {

uint32_t GetTimeTicks(void) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

void setStaLed(int sta) {
  static int now_sta = 0;
  const bool on = sta == 1 || (sta == 2 && now_sta == 0);
  SetLED(kLedStatus, on ? 1 : 0);
  now_sta = on ? 1 : 0;
}

int checkWriteStaus(int rc, int sockfd) {
  static int iWriteFailCounter = 0;
  if (rc > 0) return 0;
  if (++iWriteFailCounter <= WriteCounterMax) {
    PrintMsg("write fail, rc=%d\r\n", rc);
    return -1;
  }
  PrintMsg("iWriteFailCounter > WriteCounterMax --> close socket, rc=%d\r\n", rc);
  iWriteFailCounter = 0;
  net_close(sockfd);
  iGPRSStep = GPRS_CONNECT;
  iUploadPackageFlag = UPLOAD_INIT;
  return -2;
}

void ServiceWatchdog(void) {
  if (isVIOReboot != 1) Refresh_WDT();
}

int DaemonStart(int argc, char **argv) {
  Default_BaseInfo();
  if (take_argument(argc, argv) == 0) return 0;
  PrintMsg("qysc version = %s %s\r\n", cFWVersion, cFWDate);
  ReadConfig();
  PrintMsg("server = %s:%d\r\n", baseInfo.ucServerIP, baseInfo.usServerPort);
  ulHeartbeatOldTime = GetTimeTicks();
  iCOMStep = 0;
  iGPRSStep = GPRS_IDLE;
  iUploadPackageFlag = UPLOAD_INIT;
  wdt_init();
  led_init();
  Enable_WDT(kWdtTimeoutMs);
  g.tmStaLed = {1, GetTimeTicks()};
  g.tmGetModemInfo = {1, GetTimeTicks()};
  setStaLed(1);
  ReadModemInfo();
  return 1;
}

void DaemonPass(void) {
  ServiceWatchdog();
  status_led();
  modem_info();
  open_ports();
  link_step();
}

}  // extern "C"

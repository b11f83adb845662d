// The daemon's start-up and one pass of its loop: watchdog, status LED,
// modem information, the one-time serial open, then the link state machine
// (link.cpp) which, while the link is up, runs the upload state machine
// (upload.cpp) and the receive (receive.cpp).
//
// The two serial lines go by four numberings; they always line up so:
//
//   settings slot   device (port no.)   section port   builder (system name)
//   comInfo[1]      //dev//ttyS1 (1)    1              makeCOM2Pack  RS-485
//   comInfo[2]      //dev//ttyS2 (2)    2              makeCOM3Pack  RS-232
//
// The device numbers are the slots' defaults (comInfo[n].port); the
// section ports and builders are fixed.
#include "daemon.h"

#include <string.h>

#include "acklink.h"
#include "my_uart.h"
#include "net.h"
#include "qycomm.h"
#include "quarne.h"
#include "qylink.h"
#include "settings.h"
#include "tlslink.h"

int iCOMStep;
DaemonLoop qysc_loop = {-1, 0, 0, 0, 0, 0};

namespace {

constexpr int kWdtTimeoutMs = 5000;
constexpr uint32_t kLedOnlineMs = 500;
constexpr uint32_t kLedOfflineMs = 2000;
constexpr uint32_t kModemInfoMs = 2000;
constexpr int kLedStatus = 1;

DaemonLoop &L = qysc_loop;

bool elapsed(uint32_t since, uint32_t ms) { return GetTimeTicks() - since > ms; }

void status_led() {
  const uint32_t period = iGPRSStep == GPRS_ONLINE ? kLedOnlineMs : kLedOfflineMs;
  if (elapsed(L.ledSince, period)) {
    L.ledSince = GetTimeTicks();
    setStaLed(2);
  }
}

void modem_info() {
  if (elapsed(L.modemSince, kModemInfoMs)) {
    L.modemSince = GetTimeTicks();
    ReadModemInfo();
  }
}

void open_ports() {
  if (iCOMStep != COM_STEP_TO_OPEN) return;
  PrintMsg("--> STP_COMALLINIT\r\n");
  ReOpenCom(1);
  ReOpenCom(2);
  iCOMStep = COM_STEP_OPEN;
}

// While the acknowledged link keeps the lines and no link serves them,
// their bursts go to its buffer, and every wait reads them.
void keep_lines() {
  const bool keep = ack_collecting() && iCOMStep == COM_STEP_OPEN;
  wait_keep_lines(keep ? ack_spill : nullptr);
  if (!keep || iGPRSStep == GPRS_ONLINE) return;
  uint32_t us = 0;
  const uint32_t now = qy_ticks_split(&us);
  ack_take_lines(now, us);
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

void DaemonReset(void) {
  if (L.sockfd >= 0) net_close(L.sockfd);
  L = DaemonLoop{-1, 0, 0, 0, GetTimeTicks(), GetTimeTicks()};
  watch_link(-1);
  receive_reset();
  ulHeartbeatOldTime = GetTimeTicks();
  iCOMStep = COM_STEP_TO_OPEN;
  link_set(GPRS_IDLE);
  upload_set(UPLOAD_INIT);
  for (SerialLine &l : qysc_lines) l = SerialLine{0, 0, GetTimeTicks(), 0};
}

extern "C" {

void setStaLed(int sta) {
  const bool on = sta == 1 || (sta == 2 && L.ledOn == 0);
  SetLED(kLedStatus, on ? 1 : 0);
  L.ledOn = on ? 1 : 0;
}

int DaemonStart(int argc, char **argv) {
  Default_BaseInfo();
  if (take_argument(argc, argv) == 0) return 0;
  PrintMsg("qysc version = %s %s\r\n", cFWVersion, cFWDate);
  ReadConfig();
  PrintMsg("server = %s:%d\r\n", baseInfo.ucServerIP, baseInfo.usServerPort);
  tls_start();
  ack_start();
  DaemonReset();
  wdt_init();
  led_init();
  Enable_WDT(kWdtTimeoutMs);
  setStaLed(1);
  ReadModemInfo();
  return 1;
}

void DaemonPass(void) {
  ServiceWatchdog();
  status_led();
  modem_info();
  open_ports();
  keep_lines();
  link_step();
}

}  // extern "C"

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

#include <algorithm>
#include <utility>

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
// Timers of the loop due this close together are served by one pass: no
// later than the 5 ms pace at which the loop once looked at them.
constexpr uint32_t kJoinMs = 5;

DaemonLoop &L = qysc_loop;

uint32_t led_period() { return iGPRSStep == GPRS_ONLINE ? kLedOnlineMs : kLedOfflineMs; }

void status_led(uint32_t now) {
  if (now - L.ledSince > led_period()) {
    L.ledSince = now;
    setStaLed(2);
  }
}

void modem_info(uint32_t now) {
  if (now - L.modemSince > kModemInfoMs) {
    L.modemSince = now;
    ReadModemInfo();
  }
}

// Microseconds until the loop's own timers call for a pass: the first of
// the LED's toggle and the modem file's re-read (each when more than its
// period has passed), and the other too when it comes within kJoinMs of
// it (the pass then serves both, one wake-up); the watchdog's service at
// the latest.
uint32_t loop_due_us(uint32_t now, uint32_t us) {
  uint32_t led = us_until(L.ledSince + led_period() + 1, now, us);
  uint32_t modem = us_until(L.modemSince + kModemInfoMs + 1, now, us);
  if (led > modem) std::swap(led, modem);
  const uint32_t due = modem - led <= kJoinMs * 1000 ? modem : led;
  const uint32_t watchdog = us_until(watchdog_due(), now, us);
  return due < watchdog ? due : watchdog;
}

void open_ports() {
  if (iCOMStep != COM_STEP_TO_OPEN) return;
  PrintMsg("--> STP_COMALLINIT\r\n");
  ReOpenCom(1);
  ReOpenCom(2);
  iCOMStep = COM_STEP_OPEN;
}

// While the acknowledged link keeps the lines and no link serves them,
// their bursts go to its buffer, and every wait reads them: microseconds
// until the next of their bursts is cut (UINT32_MAX: none pending).
uint32_t keep_lines(uint32_t now, uint32_t us) {
  const bool keep = ack_collecting() && iCOMStep == COM_STEP_OPEN;
  wait_keep_lines(keep ? ack_spill : nullptr);
  if (!keep || iGPRSStep == GPRS_ONLINE) return UINT32_MAX;
  ack_take_lines(now, us);
  return std::min(BurstDueInUs(1, now, us), BurstDueInUs(2, now, us));
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

// Each pass starts from a fresh reading of the clock, which its steps
// share; the link's step ends the pass in its wait, at most until the
// loop's own timers are due.
void DaemonPass(void) {
  uint32_t us = 0;
  pass_clock_stale();
  const uint32_t now = pass_ticks(&us);
  watchdog_pass(now);
  status_led(now);
  modem_info(now);
  open_ports();
  const uint32_t kept = keep_lines(now, us);
  link_step(std::min(loop_due_us(now, us), kept));
}

}  // extern "C"

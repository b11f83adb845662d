// Talking to the modem: one command, one second, one read.
#include <string.h>
#include <stdio.h>
#include <unistd.h>

#include <string_view>

#include "simgate.h"
#include "uart.h"

namespace simgate {

namespace {

constexpr unsigned kAnswerWaitS = 1;
constexpr int kMaxDiscardReads = 64;
constexpr int kFirstRate = 115200;
constexpr int kLastRate = 921600;

// Drops what the modem sent unasked (a late answer to an earlier command),
// so it is not read as the answer to the next one.
void discard_input() {
  char junk[64];
  for (int i = 0; i < kMaxDiscardReads && static_cast<int>(DataSizeInCom(kModemPort)) > 0; i++) {
    if (Receive_Binary(kModemPort, junk, sizeof junk) <= 0) break;
  }
}

}  // namespace

int exchange(const char *command, char *reply) {
  char line[kBufSize];
  snprintf(line, sizeof line, "%s", command);
  discard_input();
  Send_Binary(kModemPort, line, static_cast<int>(strlen(line)));
  sleep(kAnswerWaitS);
  memset(reply, 0, kBufSize);
  return Receive_Binary(kModemPort, reply, kReadMax);
}

bool reply_has(const char *reply, int n, const char *what) {
  if (n <= 0) return false;
  return std::string_view(reply, static_cast<size_t>(n)).find(what) != std::string_view::npos;
}

SimState sim_state(const char *reply, int n) {
  if (reply_has(reply, n, "\r\nOK\r\n") && reply_has(reply, n, "+CPIN: READY")) return SimState::kReady;
  if (reply_has(reply, n, "+CPIN: SIM PIN")) return SimState::kPinNeeded;
  return SimState::kOther;
}

int probe_modem() {
  char reply[kBufSize];
  for (int rate = kFirstRate; rate <= kLastRate; rate *= 2) {
    PrintMsg("try baudrate = %d\r\n", rate);
    int rc = Open_Com(kModemPort, rate, 8, 0, 0);
    if (rc != COM_OK) {
      PrintMsg("Couldn't Open MODEM_PORT=%d,Error Coe=%d\r\n", kModemPort, rc);
      Close_Com(kModemPort);
      return kExitNoModem;
    }
    int n = exchange("AT\r\n", reply);
    printf("receive [%d]:\r\n%s\r\n", n, reply);
    if (reply_has(reply, n, "\r\nOK\r\n")) return kExitOk;
    usleep(1000);
    Close_Com(kModemPort);
  }
  printf("can't communicate with modem\r\n");
  return kExitNoModem;
}

bool pin_is_sendable(const char *pin) {
  for (const char *p = pin; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F || c == ';') return false;
  }
  return true;
}

}  // namespace simgate

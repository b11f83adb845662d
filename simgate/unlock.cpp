// The SIM state decision and the PIN exchange, once the modem answers.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "simgate.h"
#include "uart.h"

namespace simgate {

namespace {

void release_port() {
  usleep(1000);
  Close_Com(kModemPort);
}

// The PIN is known to be needed: check the argument, send it once.
int send_pin(const char *arg) {
  if (strlen(arg) != kPinLength) {
    printf("PIN code length != 4\r\n");
    return kExitPinFailed;
  }
  if (!pin_is_sendable(arg)) {
    printf("PIN code has characters a modem command cannot carry\r\n");
    return kExitPinFailed;
  }
  char pin[kPinLength + 1];
  memcpy(pin, arg, sizeof pin);
  char command[kBufSize];
  char reply[kBufSize];
  snprintf(command, sizeof command, "AT+CPIN=%s\r\n", pin);
  int n = exchange(command, reply);
  printf("after [AT+CPIN], receive [%d]:\r\n%s\r\n", n, reply);
  if (!reply_has(reply, n, "\r\nOK\r\n")) return kExitPinFailed;
  release_port();
  return kExitOk;
}

}  // namespace

int unlock(const char *arg) {
  char reply[kBufSize];
  int n = exchange("AT+CPIN?\r\n", reply);
  printf("receive [%d]:\r\n%s\r\n", n, reply);
  switch (sim_state(reply, n)) {
    case SimState::kReady:
      release_port();
      printf("don't need PIN code\r\n");
      return kExitOk;
    case SimState::kOther:
      printf("need PUK code or other code\r\n");
      return kExitOtherCode;
    case SimState::kPinNeeded:
      break;
  }
  printf("need PIN code\r\n");
  return send_pin(arg);
}

}  // namespace simgate

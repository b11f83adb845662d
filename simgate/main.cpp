// simgate: SIM PIN setter.
//   simgate <PIN>   unlock the SIM with a four-character PIN if it needs one
// Exit status: 0 done or nothing to do, 1 no modem, 2 PIN not usable or
// refused, 3 SIM needs a PUK or is in another state.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "simgate.h"
#include "uart.h"

using namespace simgate;

namespace {

void print_usage() {
  printf("version  = 2012/09/20\r\n");
  printf("baudtune para1\r\n");
  printf("  para1 = PIN code\r\n");
}

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

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    print_usage();
    return kExitOk;
  }
  int status = probe_modem();
  if (status != kExitOk) return status;
  status = unlock(argv[1]);
  Close_Com(kModemPort);
  return status;
}

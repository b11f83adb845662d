// simgate: SIM PIN setter.
//   simgate <PIN>   unlock the SIM with a four-character PIN if it needs one
// Exit status: 0 done or nothing to do, 1 no modem, 2 PIN not usable or
// refused, 3 SIM needs a PUK or is in another state.
#include <stdio.h>

#include "simgate.h"
#include "uart.h"

using namespace simgate;

namespace {

void print_usage() {
  printf("version  = 2012/09/20\r\n");
  printf("baudtune para1\r\n");
  printf("  para1 = PIN code\r\n");
}

}  // namespace

int simgate_main(int argc, char **argv) {
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

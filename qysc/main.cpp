// qysc: the gateway daemon. Start-up, then the endless polling loop.
#include <stdio.h>

#include "daemon.h"

int qysc_main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (DaemonStart(argc, argv) == 0) return 0;
  for (;;) DaemonPass();
}

// celmon: modem status poller.
//   celmon            poll, write /quarne/modemInfo.txt
//   celmon --ver      print the version
//   celmon <path>     poll, write <path> (at most 99 characters)
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "celmon.h"
#include "qycomm.h"

using namespace celmon;

namespace {

// Sleeps in one-second steps until more than a poll period has passed.
void wait_period(uint32_t start) {
  while (get_ms_ticks() - start <= kPollPeriodMs) sleep(1);
}

[[noreturn]] void poll_forever(int rate, const char *path) {
  for (;;) {
    wait_period(get_ms_ticks());
    poll_cycle(rate, path);
  }
}

// Takes the command line; false (with a message) when it cannot be used.
// *version is set for "--ver".
bool take_arguments(int argc, char **argv, char *path, bool *version) {
  if (argc != 2) return true;
  if (strcmp(argv[1], "--ver") == 0) {
    *version = true;
    return true;
  }
  if (strlen(argv[1]) >= kPathSize) {
    PrintMsg("result path too long (at most %d characters) : %s\r\n",
             static_cast<int>(kPathSize - 1), argv[1]);
    return false;
  }
  snprintf(path, kPathSize, "%s", argv[1]);
  PrintMsg("save result to : %s\r\n", path);
  return true;
}

}  // namespace

int celmon_main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  char path[kPathSize];
  snprintf(path, sizeof path, "%s", kDefaultResultPath);
  bool version = false;
  if (!take_arguments(argc, argv, path, &version)) return kExitBadPath;
  if (version) {
    PrintMsg("celmon.exe version = %s %s\r\n", kVersion, kVersionDate);
    return 0;
  }
  int rate = probe_rate();
  if (rate < 0) return -rate;
  poll_forever(rate, path);
}

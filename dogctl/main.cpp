// Watchdog control: one action per run, chosen by the first character of
// the only argument: 1 enable (5000 ms), 2 service, 3 reset the board, any
// other disable. No argument prints the usage; more than one does nothing.
//
// Exit status 0 always. Without the register window an action has no
// effect and its line is still printed (factory scripts rely on both).
#include <stdio.h>

#include "quarne.h"

namespace {

constexpr int kTimeoutMs = 5000;
constexpr int kExitDone = 0;

struct Action {
  char key;  // first character of the argument
  void (*run)();
  const char *done;  // printed after the action
};

void enable() { Enable_WDT(kTimeoutMs); }
void refresh() { Refresh_WDT(); }
void reset() { Reset_WDT(); }
void disable() { Disable_WDT(); }

constexpr Action kActions[] = {
    {'1', enable, "Enable WDT\r"},
    {'2', refresh, "Refresh WDT\r"},
    {'3', reset, "WDT Reset\r"},
};
constexpr Action kOtherwise = {'0', disable, "Disable WDT\r"};

constexpr const char *kUsage[] = {
    "dogctl:\r", "\t0: disable WDT\r", "\t1: enable WDT\r", "\t2: refresh WDT\r",
    "\t3: WDT reset(WDT reboot)\r",
};

const Action &action_for(const char *arg) {
  for (const Action &a : kActions) {
    if (arg[0] == a.key) return a;
  }
  return kOtherwise;
}

void perform(const char *arg) {
  const Action &a = action_for(arg);
  a.run();
  puts(a.done);
}

}  // namespace

int dogctl_main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  wdt_init();
  if (argc == 1) {
    for (const char *line : kUsage) puts(line);
  } else if (argc == 2) {
    perform(argv[1]);
  }
  wdt_exit();
  return kExitDone;
}

// The command language of the console: one command a line, from a person
// at a terminal or from a script on standard input.
#ifndef CONSOLE_COMMANDS_H
#define CONSOLE_COMMANDS_H

#include <stdint.h>

namespace console {

struct Session {
  bool quit;
  uint32_t wait_start;  // sleep / wait in progress since then
  uint32_t wait_ms;     // 0: none
  int wait_gw;          // wait: until this gateway is ready; 0: plain sleep
  const char *addr;     // listen address, also for Modbus listeners
};

// Runs one line (comments and blank lines do nothing).
void cmd_run(Session &s, const char *line, uint32_t now);

// True while a sleep or wait holds back the next command.
bool cmd_busy(Session &s, uint32_t now);

}  // namespace console

#endif

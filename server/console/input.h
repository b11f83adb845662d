// Lines from standard input (a terminal, a pipe or a script file).
#ifndef CONSOLE_INPUT_H
#define CONSOLE_INPUT_H

#include <stddef.h>

namespace console {

constexpr size_t kInputLineMax = 4096;

struct Input {
  int fd;
  char buf[kInputLineMax];
  size_t len;
  bool eof;
  bool discarding;  // inside an over-long line
};

void in_init(Input &in, int fd);

// One read; sets eof at the end of input.
void in_read(Input &in);

// Takes the next whole line (without CR LF) into line; false when none.
// After eof, a last line without newline counts too.
bool in_line(Input &in, char *line, size_t cap);

// True when a whole line is waiting.
bool in_has_line(const Input &in);

}  // namespace console

#endif

// Building one command reply: a bounded text that both command channels
// fill and then put into their reply ring.
#ifndef QYSC_CMDREPLY_H
#define QYSC_CMDREPLY_H

#include <stddef.h>

#include <string_view>

#include "qycom.h"

namespace cmdreply {

// At most JOB4CMD_TEXT - 1 characters; longer text is cut, the text stays
// NUL-terminated.
struct ReplyText {
  char text[JOB4CMD_TEXT] = {};
  size_t len = 0;

  void add(const char *format, ...) __attribute__((format(printf, 2, 3)));
  void add_n(const char *s, size_t n);
};

// Character i of a command, or NUL past its end: arguments are read this
// way so that a short command is never read beyond its terminator.
constexpr char arg_char(std::string_view cmd, size_t i) { return i < cmd.size() ? cmd[i] : '\0'; }

}  // namespace cmdreply

#endif

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

// The two ways the channels cut a section's text into commands. Both take
// the cursor explicitly, stop at the text's NUL, and end a command by
// overwriting its delimiter with NUL. split_ended (virtual COM): every
// command ends at a delimiter, empty ones count, text left without a
// delimiter is no command (null; the cursor stays). split_tokens
// (configuration, the standard tokenizer's rule): delimiters in a row are
// one, the last command may end at the text's end; null when none is left.
char *split_ended(char *&pos, char delim);
char *split_tokens(char *&pos, char delim);

// Character i of a command, or NUL past its end: arguments are read this
// way so that a short command is never read beyond its terminator.
constexpr char arg_char(std::string_view cmd, size_t i) { return i < cmd.size() ? cmd[i] : '\0'; }

// The first row of a command table whose key starts the command, or null:
// both channels match commands this way, in table order.
template <typename Row, size_t N>
const Row *find_command(const Row (&table)[N], std::string_view cmd) {
  for (const Row &row : table) {
    if (cmd.substr(0, row.key.size()) == row.key) return &row;
  }
  return nullptr;
}

}  // namespace cmdreply

#endif

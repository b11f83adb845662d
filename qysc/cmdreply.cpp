#include "cmdreply.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace cmdreply {

void ReplyText::add(const char *format, ...) {
  const size_t room = sizeof text - len;
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(text + len, room, format, ap);
  va_end(ap);
  if (n > 0) len += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

void ReplyText::add_n(const char *s, size_t n) {
  const size_t room = sizeof text - 1 - len;
  if (n > room) n = room;
  memcpy(text + len, s, n);
  len += n;
  text[len] = '\0';
}

char *split_ended(char *&pos, char delim) {
  for (char *p = pos; *p != '\0'; p++) {
    if (*p == delim) {
      char *start = pos;
      *p = '\0';
      pos = p + 1;
      return start;
    }
  }
  return nullptr;
}

char *split_tokens(char *&pos, char delim) {
  while (*pos == delim) pos++;
  if (*pos == '\0') return nullptr;
  char *start = pos;
  while (*pos != '\0' && *pos != delim) pos++;
  if (*pos == delim) *pos++ = '\0';
  return start;
}

}  // namespace cmdreply

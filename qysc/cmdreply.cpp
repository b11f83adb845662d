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

}  // namespace cmdreply

// Standard input cut into lines; lines over the limit are refused whole.
#include "input.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "out.h"

namespace console {

void in_init(Input &in, int fd) {
  memset(&in, 0, sizeof in);
  in.fd = fd;
}

void in_read(Input &in) {
  if (in.eof) return;
  if (in.len == sizeof in.buf) {  // no newline in a whole buffer
    out_line("error: input line longer than %zu characters ignored", kInputLineMax - 1);
    in.len = 0;
    in.discarding = true;
  }
  ssize_t n = read(in.fd, in.buf + in.len, sizeof in.buf - in.len);
  if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
    in.eof = true;
    return;
  }
  if (n > 0) in.len += static_cast<size_t>(n);
}

bool in_has_line(const Input &in) {
  return memchr(in.buf, '\n', in.len) != nullptr || (in.eof && in.len > 0);
}

bool in_line(Input &in, char *line, size_t cap) {
  while (in_has_line(in)) {
    char *nl = static_cast<char *>(memchr(in.buf, '\n', in.len));
    size_t n = nl ? static_cast<size_t>(nl - in.buf) : in.len;
    size_t used = nl ? n + 1 : n;
    bool skip = in.discarding;
    in.discarding = false;
    if (n > 0 && in.buf[n - 1] == '\r') n--;
    if (!skip) {
      if (n >= cap) n = cap - 1;
      memcpy(line, in.buf, n);
      line[n] = '\0';
    }
    memmove(in.buf, in.buf + used, in.len - used);
    in.len -= used;
    if (!skip) return true;
  }
  return false;
}

}  // namespace console

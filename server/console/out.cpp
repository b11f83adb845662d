// Line output of the console.
#include "out.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace console {
namespace {

LineSink g_sink = nullptr;
void *g_ctx = nullptr;

// Standard output: the whole line in one write, retried on a short write.
void write_stdout(void *, const char *line, size_t len) {
  while (len > 0) {
    ssize_t n = write(STDOUT_FILENO, line, len);
    if (n <= 0) return;
    line += n;
    len -= static_cast<size_t>(n);
  }
}

}  // namespace

void out_set_sink(LineSink sink, void *ctx) {
  g_sink = sink;
  g_ctx = ctx;
}

void out_line(const char *fmt, ...) {
  char line[kLineMax + 1];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, kLineMax, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n);
  if (len >= kLineMax) {
    len = kLineMax - 1;
    memcpy(line + len - 3, "...", 3);
  }
  line[len++] = '\n';
  line[len] = '\0';
  if (g_sink) {
    g_sink(g_ctx, line, len - 1);
  } else {
    write_stdout(nullptr, line, len);
  }
}

}  // namespace console

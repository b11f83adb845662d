// Console output: one call prints one whole line. Lines go to standard
// output by default; tests point the sink at their own collector.
#ifndef CONSOLE_OUT_H
#define CONSOLE_OUT_H

#include <stddef.h>

namespace console {

constexpr size_t kLineMax = 16384;  // longest line, terminator included

using LineSink = void (*)(void *ctx, const char *line, size_t len);

// Replaces the sink (nullptr restores standard output).
void out_set_sink(LineSink sink, void *ctx);

// printf-style; the newline is added. Over-long lines are cut and end in "...".
void out_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace console

#endif

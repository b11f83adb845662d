// The hub's log: one line per event on standard output, with a level.
// Info lines are plain; warnings, errors and debug lines carry their level
// word first, so scripts can tell them apart.
#ifndef HUB_LOG_H
#define HUB_LOG_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace hub {

enum class Level : uint8_t { kError, kWarn, kInfo, kDebug };

void log_set_level(Level level);
bool log_on(Level level);
// "error", "warn", "info", "debug"; false for anything else.
bool log_parse_level(const char *text, Level *out);
void log_line(Level level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
// A line printed at every level (unless muted): start-up facts scripts read.
void log_always(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Nothing is printed at all (fuzzing, benchmarks of the core).
void log_mute(bool mute);

// Bytes as text for a log line or JSON: printable ASCII as it is, CR, LF
// and tab as \r \n \t, anything else as \xHH.
std::string escaped(const uint8_t *p, size_t n);

}  // namespace hub

#define HLOG(level, ...)                                            \
  do {                                                              \
    if (::hub::log_on(level)) ::hub::log_line(level, __VA_ARGS__); \
  } while (0)
#define LOG_ERROR(...) HLOG(::hub::Level::kError, __VA_ARGS__)
#define LOG_WARN(...) HLOG(::hub::Level::kWarn, __VA_ARGS__)
#define LOG_INFO(...) HLOG(::hub::Level::kInfo, __VA_ARGS__)
#define LOG_DEBUG(...) HLOG(::hub::Level::kDebug, __VA_ARGS__)

#endif

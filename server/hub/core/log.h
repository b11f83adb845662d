// The hub's log: one line per event on standard output, each with an ISO
// 8601 UTC time stamp to the millisecond and its level word:
//   2026-12-08T20:41:07.123Z warn gateway 10.1.0.5 verify: no answer in time
// Under systemd (standard output is the journal's stream) the journal keeps
// the time and the line starts with the syslog priority instead:
//   <4>warn gateway 10.1.0.5 verify: no answer in time
// Lines about one gateway name it first ("gateway <id>", "exposure <id>").
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
// Lines for the journal (syslog priority, no time stamp) or not.
void log_use_journal(bool journal);
// True when journal_stream (JOURNAL_STREAM: "<device>:<inode>") names the
// file fd is open on: the journal reads that descriptor.
bool log_journal_stream(const char *journal_stream, int fd);
// The start of a line: time stamp (or priority) and level word; its length.
size_t log_prefix(char *buf, size_t cap, Level level, int64_t wall_ms);

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

// Log lines to standard output, stamped for an operator or for the journal.
#include "core/log.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

namespace hub {
namespace {

Level g_level = Level::kInfo;
bool g_mute = false;
bool g_journal = false;

const char *const kWords[] = {"error", "warn", "info", "debug"};
const int kPriority[] = {3, 4, 6, 7};  // syslog: err, warning, info, debug

}  // namespace

void log_set_level(Level level) { g_level = level; }

bool log_on(Level level) { return !g_mute && level <= g_level; }

bool log_parse_level(const char *text, Level *out) {
  for (unsigned i = 0; i < sizeof kWords / sizeof kWords[0]; i++) {
    if (strcmp(text, kWords[i]) == 0) {
      *out = static_cast<Level>(i);
      return true;
    }
  }
  return false;
}

namespace {

int64_t wall_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void emit(Level level, const char *fmt, va_list ap) {
  char line[1024];
  size_t off = log_prefix(line, sizeof line, level, wall_now_ms());
  int n = vsnprintf(line + off, sizeof line - off - 1, fmt, ap);
  size_t len = off + (n < 0 ? 0 : static_cast<size_t>(n));
  if (len > sizeof line - 2) len = sizeof line - 2;
  line[len++] = '\n';
  fwrite(line, 1, len, stdout);
}

}  // namespace

size_t log_prefix(char *buf, size_t cap, Level level, int64_t wall_ms) {
  int i = static_cast<int>(level);
  int n = 0;
  if (g_journal) {
    n = snprintf(buf, cap, "<%d>%s ", kPriority[i], kWords[i]);
  } else {
    time_t secs = static_cast<time_t>(wall_ms / 1000);
    tm t{};
    gmtime_r(&secs, &t);
    n = snprintf(buf, cap, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ %s ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(wall_ms % 1000), kWords[i]);
  }
  return n < 0 ? 0 : static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

bool log_journal_stream(const char *journal_stream, int fd) {
  unsigned long long dev = 0, ino = 0;
  struct stat st{};
  if (!journal_stream || sscanf(journal_stream, "%llu:%llu", &dev, &ino) != 2 || fstat(fd, &st) != 0) return false;
  return st.st_dev == dev && st.st_ino == ino;
}

void log_use_journal(bool journal) { g_journal = journal; }

void log_line(Level level, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  emit(level, fmt, ap);
  va_end(ap);
}

void log_always(const char *fmt, ...) {
  if (g_mute) return;
  va_list ap;
  va_start(ap, fmt);
  emit(Level::kInfo, fmt, ap);
  va_end(ap);
}

void log_mute(bool mute) { g_mute = mute; }

std::string escaped(const uint8_t *p, size_t n) {
  std::string s;
  s.reserve(n);
  for (size_t i = 0; i < n; i++) {
    uint8_t c = p[i];
    if (c == '\r') {
      s += "\\r";
    } else if (c == '\n') {
      s += "\\n";
    } else if (c == '\t') {
      s += "\\t";
    } else if (c == '\\') {
      s += "\\\\";
    } else if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else {
      char hex[5];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      s += hex;
    }
  }
  return s;
}

}  // namespace hub

// Log lines to standard output.
#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace hub {
namespace {

Level g_level = Level::kInfo;
bool g_mute = false;

const char *const kWords[] = {"error", "warn", "info", "debug"};

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

void emit(const char *word, const char *fmt, va_list ap) {
  char line[1024];
  int off = word ? snprintf(line, sizeof line, "%s: ", word) : 0;
  int n = vsnprintf(line + off, sizeof line - static_cast<size_t>(off) - 1, fmt, ap);
  size_t len = static_cast<size_t>(off) + (n < 0 ? 0 : static_cast<size_t>(n));
  if (len > sizeof line - 2) len = sizeof line - 2;
  line[len++] = '\n';
  fwrite(line, 1, len, stdout);
}

}  // namespace

void log_line(Level level, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  emit(level == Level::kInfo ? nullptr : kWords[static_cast<int>(level)], fmt, ap);
  va_end(ap);
}

void log_always(const char *fmt, ...) {
  if (g_mute) return;
  va_list ap;
  va_start(ap, fmt);
  emit(nullptr, fmt, ap);
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

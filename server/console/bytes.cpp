// Hex and escaped-text forms of byte strings.
#include "bytes.h"

#include <stdio.h>
#include <string.h>

namespace console {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_separator(char c) { return c == ' ' || c == '\t' || c == ',' || c == ':'; }

// The escape letter for a byte, or 0 when it has none.
char escape_letter(uint8_t b) {
  switch (b) {
    case '\r': return 'r';
    case '\n': return 'n';
    case '\t': return 't';
    case '"': return '"';
    case '\\': return '\\';
    default: return 0;
  }
}

// One hex token of len characters into out; returns bytes written or -1/-2.
int hex_token(const char *t, size_t len, uint8_t *out, size_t cap) {
  if (len > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    t += 2;
    len -= 2;
  }
  if (len == 1) {
    int v = hex_value(t[0]);
    if (v < 0) return -1;
    if (cap < 1) return -2;
    out[0] = static_cast<uint8_t>(v);
    return 1;
  }
  if (len % 2 != 0) return -1;
  if (len / 2 > cap) return -2;
  for (size_t i = 0; i < len; i += 2) {
    int hi = hex_value(t[i]);
    int lo = hex_value(t[i + 1]);
    if (hi < 0 || lo < 0) return -1;
    out[i / 2] = static_cast<uint8_t>(hi * 16 + lo);
  }
  return static_cast<int>(len / 2);
}

// The byte an escape stands for, advancing *p past it; -1 when unknown.
int unescape(const char **p) {
  const char *s = *p;
  switch (s[0]) {
    case 'r': *p = s + 1; return '\r';
    case 'n': *p = s + 1; return '\n';
    case 't': *p = s + 1; return '\t';
    case '0': *p = s + 1; return 0;
    case '\\': *p = s + 1; return '\\';
    case '"': *p = s + 1; return '"';
    case 'x': {
      int hi = hex_value(s[1]);
      int lo = hi < 0 ? -1 : hex_value(s[2]);
      if (lo < 0) return -1;
      *p = s + 3;
      return hi * 16 + lo;
    }
    default: return -1;
  }
}

}  // namespace

void fmt_hex(const uint8_t *data, size_t n, char *out, size_t cap) {
  if (cap == 0) return;
  size_t o = 0;
  for (size_t i = 0; i < n && o + 3 <= cap; i++) {
    if (i > 0) out[o++] = ' ';
    out[o++] = kHexDigits[data[i] >> 4];
    out[o++] = kHexDigits[data[i] & 0x0F];
  }
  out[o < cap ? o : cap - 1] = '\0';
}

void fmt_text(const uint8_t *data, size_t n, char *out, size_t cap) {
  if (cap == 0) return;
  size_t o = 0;
  for (size_t i = 0; i < n; i++) {
    uint8_t b = data[i];
    char esc = escape_letter(b);
    char piece[5];
    if (esc) {
      piece[0] = '\\', piece[1] = esc, piece[2] = '\0';
    } else if (b >= 0x20 && b < 0x7F) {
      piece[0] = static_cast<char>(b), piece[1] = '\0';
    } else {
      snprintf(piece, sizeof piece, "\\x%c%c", kHexDigits[b >> 4], kHexDigits[b & 0x0F]);
    }
    size_t len = strlen(piece);
    if (o + len >= cap) break;
    memcpy(out + o, piece, len);
    o += len;
  }
  out[o] = '\0';
}

int parse_hex(const char *text, uint8_t *out, size_t cap) {
  size_t n = 0;
  const char *p = text;
  while (*p) {
    while (*p && is_separator(*p)) p++;
    const char *start = p;
    while (*p && !is_separator(*p)) p++;
    if (p == start) break;
    int got = hex_token(start, static_cast<size_t>(p - start), out + n, cap - n);
    if (got < 0) return got;
    n += static_cast<size_t>(got);
  }
  return static_cast<int>(n);
}

int parse_escaped(const char *text, uint8_t *out, size_t cap) {
  size_t n = 0;
  const char *p = text;
  while (*p) {
    int b;
    if (*p == '\\') {
      p++;
      b = unescape(&p);
      if (b < 0) return -1;
    } else {
      b = static_cast<unsigned char>(*p++);
    }
    if (n >= cap) return -2;
    out[n++] = static_cast<uint8_t>(b);
  }
  return static_cast<int>(n);
}

}  // namespace console

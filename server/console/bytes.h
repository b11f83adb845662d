// Bytes shown as hex or as escaped text, and read back from command text.
#ifndef CONSOLE_BYTES_H
#define CONSOLE_BYTES_H

#include <stddef.h>
#include <stdint.h>

namespace console {

// Room needed by the formatters for n bytes, terminator included.
constexpr size_t hex_room(size_t n) { return n * 3 + 1; }
constexpr size_t text_room(size_t n) { return n * 4 + 1; }

// "01 0A FF". Always terminated; stops early when out is too small.
void fmt_hex(const uint8_t *data, size_t n, char *out, size_t cap);

// Printable ASCII as is; \r \n \t \" \\ and \xHH for everything else.
void fmt_text(const uint8_t *data, size_t n, char *out, size_t cap);

// Hex bytes: tokens split by blanks, commas or colons, each an even number
// of hex digits (one digit alone is one byte), an optional 0x prefix.
// Returns the byte count, or -1 (bad digit, odd length) or -2 (too long).
int parse_hex(const char *text, uint8_t *out, size_t cap);

// Text with escapes \r \n \t \0 \\ \" \xHH. Returns the byte count, or -1
// (unknown or cut escape) or -2 (too long).
int parse_escaped(const char *text, uint8_t *out, size_t cap);

}  // namespace console

#endif

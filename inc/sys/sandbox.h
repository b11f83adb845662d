// Where board paths lead. The board build opens every path as given. The
// sandbox build (programs under build/sandbox/, and the unit tests) opens
// every absolute path below a root directory instead, "./board" of the
// working directory unless a test sets another, so that nothing it runs
// can reach the host's /dev/mem or serial devices.
#ifndef QUARNE_SYS_SANDBOX_H
#define QUARNE_SYS_SANDBOX_H

#include <stddef.h>
#include <stdint.h>

// Register-file word where the sandbox counts watchdog services: offset of
// the 32-bit little-endian counter in the file standing in for /dev/mem
// (watchdog window base 0x17000000, beside the service register 0xF000).
#define SANDBOX_WDT_SERVICE_COUNT_OFFSET 0x1700F004u

#ifdef __cplusplus
extern "C" {
#endif

// Path to open for the board path `path`: `path` itself on the board, else
// the sandboxed path written to `buf` (NULL when it does not fit).
const char *sandbox_path(const char *path, char *buf, size_t len);

// Called after every watchdog service read with the service register's
// address; the sandbox counts it in the word 4 bytes after it.
void sandbox_note_wdt_service(volatile unsigned char *service);

// Called after every GPIO output write with the line's level register, its
// bit and the new level; the sandbox mirrors the level into the register
// file as the hardware would (the board build does nothing with it).
void sandbox_note_gpio_output(volatile uint32_t *level_reg, uint32_t bit, int level);

// Non-zero in the sandbox build.
int sandbox_active(void);

// Sandbox build only: sets the root directory (copied; at most 255 chars).
void sandbox_set_root(const char *root);

#ifdef __cplusplus
}
#endif

#endif

// Sandbox build: every absolute path is opened below the sandbox root, and
// watchdog services are counted in the register file.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "sandbox.h"

namespace {

char g_root[256] = "./board";

}  // namespace

extern "C" {

const char *sandbox_path(const char *path, char *buf, size_t len) {
  if (path == nullptr) return nullptr;
  if (path[0] != '/') return path;  // relative paths already lie in the working directory
  int n = snprintf(buf, len, "%s%s", g_root, path);
  if (n < 0 || static_cast<size_t>(n) >= len) return nullptr;
  return buf;
}

void sandbox_note_wdt_service(volatile unsigned char *service) {
  // The counter sits 4 bytes after the service register in the register file.
  volatile uint32_t *count = reinterpret_cast<volatile uint32_t *>(service + 4);
  *count = *count + 1;
}

void sandbox_note_gpio_output(volatile uint32_t *level_reg, uint32_t bit, int level) {
  if (level_reg == nullptr) return;
  const uint32_t v = *level_reg;
  *level_reg = level ? (v | bit) : (v & ~bit);
}

int sandbox_active(void) { return 1; }

void sandbox_set_root(const char *root) {
  snprintf(g_root, sizeof g_root, "%s", root);
}

}  // extern "C"

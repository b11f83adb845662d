// Physical register windows mapped from the memory device.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "quarne.h"
#include "sandbox.h"

mapping_table quarne_mapping_table[3] = {
    {0x40E00000, 0x00100000, -1, nullptr},  // PXA270 GPIO controller
    {0x17000000, 0x00100000, -1, nullptr},  // board register block (watchdog)
    {0x40A00000, 0x00100000, -1, nullptr},  // PXA270 OS timer
};

namespace {

constexpr char kMemDevice[] = "/dev/mem";
constexpr char kSourcePath[] = "src/sys/mmio.cpp";

bool valid_kind(int kind) { return static_cast<unsigned>(kind) < 3; }

}  // namespace

extern "C" {

int mmio_init(int kind) {
  if (!valid_kind(kind)) return -2;
  mapping_table &w = quarne_mapping_table[kind];
  char buf[300];
  const char *path = sandbox_path(kMemDevice, buf, sizeof buf);
  w.mmio_fd = path ? open(path, O_RDWR | O_SYNC) : -1;
  if (w.mmio_fd < 0) return -2;

  const off_t base = w.pa_base & ~static_cast<off_t>(w.size - 1);
  void *va = mmap(nullptr, w.size, PROT_READ | PROT_WRITE, MAP_SHARED, w.mmio_fd, base);
  if (va == MAP_FAILED) {
    int err = errno;
    fprintf(stderr, "Error at line %d, file %s (%d) [%s]\n", __LINE__, kSourcePath, err,
            strerror(err));
    fflush(stderr);
    exit(1);
  }
  w.va_base = va;
  return 0;
}

void *mmio_map(int kind, off_t offset) {
  if (!valid_kind(kind)) return nullptr;
  const mapping_table &w = quarne_mapping_table[kind];
  if (w.va_base == nullptr) return nullptr;
  return static_cast<char *>(w.va_base) + (offset & static_cast<off_t>(w.size - 1));
}

int mmio_destroy(int kind) {
  if (!valid_kind(kind)) return -1;
  mapping_table &w = quarne_mapping_table[kind];
  if (w.va_base == nullptr || munmap(w.va_base, w.size) != 0) return -1;
  w.va_base = nullptr;  // the mapping is gone whatever close says
  if (close(w.mmio_fd) != 0) return -1;
  w.mmio_fd = -1;
  return 0;
}

}  // extern "C"

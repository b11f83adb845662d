// Millisecond clock of the poller.
#include <sys/time.h>

#include "celmon.h"

namespace celmon {

uint32_t get_ms_ticks() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<uint32_t>(tv.tv_sec) * 1000u + static_cast<uint32_t>(tv.tv_usec / 1000);
}

}  // namespace celmon

// The modem information file, replaced whole: the daemon reads it without
// a lock, so it must never see it half written.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "celmon.h"
#include "sandbox.h"

namespace celmon {

namespace {

constexpr size_t kHostPathSize = 512;
constexpr const char *kTempSuffix = ".tmp";

bool write_all(int fd, const char *text, size_t len) {
  ssize_t n = write(fd, text, len);
  return n >= 0 && static_cast<size_t>(n) == len;
}

}  // namespace

int save_result(const char *path, const char *text, size_t len) {
  char mapped[kHostPathSize];
  char temp[kHostPathSize];
  const char *target = sandbox_path(path, mapped, sizeof mapped);
  int n = target ? snprintf(temp, sizeof temp, "%s%s", target, kTempSuffix) : -1;
  int fd = (n > 0 && static_cast<size_t>(n) < sizeof temp)
               ? open(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
               : -1;
  if (fd < 0) {
    printf("open file error\r\n");
    return -1;
  }
  printf("open file success\r\n");
  bool written = write_all(fd, text, len);
  if (close(fd) != 0) written = false;
  if (!written) {
    unlink(temp);
    printf("write file error\r\n");
    return -2;
  }
  if (rename(temp, target) != 0) {
    unlink(temp);
    printf("rename file error\r\n");
    return -3;
  }
  return 0;
}

}  // namespace celmon

// Line reader over a descriptor with a fixed buffer.
#include "linefile.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "sandbox.h"
#include "settings.h"

LineFile::LineFile(const char *path) {
  char mapped[CONFIG_PATH_MAX + 300];
  const char *p = sandbox_path(path, mapped, sizeof mapped);
  if (p != nullptr) fd_ = open(p, O_RDONLY | O_CLOEXEC);
}

LineFile::~LineFile() {
  if (fd_ >= 0) close(fd_);
}

bool LineFile::fill() {
  ssize_t n;
  do {
    n = read(fd_, buf_, sizeof buf_);
  } while (n < 0 && errno == EINTR);
  len_ = n > 0 ? static_cast<int>(n) : 0;
  pos_ = 0;
  return len_ > 0;
}

bool LineFile::gets(char *line, int size) {
  if (fd_ < 0 || size < 2) return false;
  int n = 0;
  while (n < size - 1) {
    if (pos_ == len_ && !fill()) break;
    const char c = buf_[pos_++];
    line[n++] = c;
    if (c == '\n') break;
  }
  line[n] = '\0';
  return n > 0;
}

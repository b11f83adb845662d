// Whole-file reads and writes of keys and certificates; no FILE (stdio
// allocates), the read buffer in the TLS arena.
#include "tlsfile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "sandbox.h"
#include "settings.h"
#include "tlsarena.h"

namespace {

struct Mapped {
  char buf[CONFIG_PATH_MAX + 300];
  const char *path;
  explicit Mapped(const char *p) : buf{}, path(sandbox_path(p, buf, sizeof buf)) {}
};

bool write_all(int fd, const unsigned char *data, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// The folder of path, made if missing (one level: /quarne/qysc exists).
void make_folder(const char *path) {
  char dir[CONFIG_PATH_MAX + 300];
  snprintf(dir, sizeof dir, "%s", path);
  char *slash = strrchr(dir, '/');
  if (slash == nullptr || slash == dir) return;
  *slash = '\0';
  mkdir(dir, 0700);
}

}  // namespace

bool tls_file_exists(const char *path) {
  Mapped m(path);
  struct stat st;
  return m.path != nullptr && stat(m.path, &st) == 0 && S_ISREG(st.st_mode);
}

unsigned char *tls_file_read(const char *path, size_t *len) {
  Mapped m(path);
  const int fd = m.path != nullptr ? open(m.path, O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) return nullptr;
  struct stat st;
  unsigned char *data = nullptr;
  if (fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size < TLS_FILE_MAX) {
    const size_t size = static_cast<size_t>(st.st_size);
    data = static_cast<unsigned char *>(tls_arena_calloc(1, size + 1));
    if (data != nullptr && read(fd, data, size) != static_cast<ssize_t>(size)) {
      tls_file_drop(data, size + 1);
      data = nullptr;
    }
    *len = size + 1;
  }
  close(fd);
  return data;
}

void tls_file_drop(unsigned char *data, size_t len) {
  if (data == nullptr) return;
  memset(data, 0, len);
  tls_arena_free(data);
}

int tls_file_write(const char *path, const unsigned char *data, size_t len, int mode) {
  Mapped m(path);
  if (m.path == nullptr) return -1;
  make_folder(m.path);
  char tmp[sizeof m.buf + 8];
  snprintf(tmp, sizeof tmp, "%s.new", m.path);
  unlink(tmp);
  const int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  const bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0 && write_all(fd, data, len) &&
                  fsync(fd) == 0;
  if (close(fd) != 0 || !ok || rename(tmp, m.path) != 0) {
    unlink(tmp);
    return -1;
  }
  return 0;
}

bool tls_file_private(const char *path) {
  Mapped m(path);
  struct stat st;
  if (m.path == nullptr || stat(m.path, &st) != 0 || (st.st_mode & 077) == 0) return true;
  chmod(m.path, st.st_mode & 0700);
  return false;
}

#include "fuzzkit.h"

#include <fcntl.h>
#include <ftw.h>
#include <pty.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include "sandbox.h"

namespace fuzzkit {
namespace {

std::string g_dir;

void mkdirs(const std::string &path) {
  for (size_t i = 1; i <= path.size(); i++) {
    if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
  }
}

int remove_entry(const char *path, const struct stat *, int, struct FTW *) { return remove(path); }

void remove_sandbox() {
  if (!g_dir.empty()) nftw(g_dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

const std::string &sandbox() {
  if (!g_dir.empty()) return g_dir;
  char tmpl[64];
  snprintf(tmpl, sizeof tmpl, "%s/trm310-fuzz-XXXXXX",
           access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
  if (mkdtemp(tmpl) == nullptr) fail("cannot create a sandbox directory in %s", tmpl);
  g_dir = tmpl;
  mkdirs(g_dir + "/board/dev");
  mkdirs(g_dir + "/board/quarne/qysc");
  sandbox_set_root((g_dir + "/board").c_str());
  atexit(remove_sandbox);
  return g_dir;
}

}  // namespace

std::string board(const char *path) { return sandbox() + "/board" + path; }

void write_file(const char *board_path, const uint8_t *data, size_t n) {
  const std::string path = board(board_path);
  mkdirs(path.substr(0, path.rfind('/')));
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) fail("cannot write %s", path.c_str());
  while (n > 0) {
    ssize_t w = write(fd, data, n);
    if (w <= 0) fail("cannot write %s", path.c_str());
    data += w;
    n -= static_cast<size_t>(w);
  }
  close(fd);
}

int add_pty(const char *device) {
  int master = -1, slave = -1;
  char name[128];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) fail("openpty failed");
  const std::string link = board(device);
  mkdirs(link.substr(0, link.rfind('/')));
  unlink(link.c_str());
  if (symlink(name, link.c_str()) != 0) fail("cannot link %s", link.c_str());
  struct termios t;
  if (tcgetattr(slave, &t) == 0) {
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  return master;  // the slave stays open for the life of the process
}

void drain(int fd) {
  char buf[4096];
  while (read(fd, buf, sizeof buf) > 0) {
  }
}

bool log_wanted() {
  const char *log = getenv("TRM_FUZZ_LOG");
  return log != nullptr && strcmp(log, "1") == 0;
}

void quiet_stdout() {
  if (log_wanted()) return;
  fflush(stdout);
  int fd = open("/dev/null", O_WRONLY);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
}

uint8_t Reader::byte() {
  if (left_ == 0) return 0;
  left_--;
  return *p_++;
}

uint16_t Reader::u16() {
  const uint8_t lo = byte();
  return static_cast<uint16_t>(lo | byte() << 8);
}

size_t Reader::take(size_t n, const uint8_t **out) {
  if (n > left_) n = left_;
  *out = p_;
  p_ += n;
  left_ -= n;
  return n;
}

const uint8_t *Reader::rest(size_t *n) {
  const uint8_t *p = p_;
  *n = left_;
  p_ += left_;
  left_ = 0;
  return p;
}

namespace {

constexpr size_t kPacketMax = 1500;
constexpr size_t kStreamMax = 16384;  // bounds the work of one input
constexpr uint16_t kPorts[] = {1, 2, 256, 257, 258, 256, 257};

void put16(std::vector<uint8_t> &p, size_t at, size_t v) {
  p[at] = static_cast<uint8_t>(v);
  p[at + 1] = static_cast<uint8_t>(v >> 8);
}

void append_sections(Reader &in, std::vector<uint8_t> &p, bool extra) {
  const size_t count_at = p.size();
  p.push_back(0);
  size_t count = 0;
  for (size_t n = in.byte() % 5; n > 0; n--) {
    const uint8_t sel = in.byte();
    const uint16_t port = (sel & 7) < 7 ? kPorts[sel & 7] : in.u16();
    const size_t want = (sel & 8) ? in.u16() : in.byte();
    const uint8_t *data = nullptr;
    const size_t len = in.take(want, &data);
    if (p.size() + 4 + len > kPacketMax) continue;
    const size_t at = p.size();
    p.resize(at + 4);
    put16(p, at, port);
    put16(p, at + 2, len);
    p.insert(p.end(), data, data + len);
    count++;
  }
  p[count_at] = static_cast<uint8_t>(count + (extra ? 1 : 0));
}

}  // namespace

void append_packets(Reader &in, std::vector<uint8_t> &out) {
  while (in.left() > 0 && out.size() < kStreamMax) {
    const uint8_t h = in.byte();
    const uint8_t type = (h & 3) == 3 ? 1 : h & 3;
    const size_t copies = (h & 0x80) ? 1 + in.byte() % 100 : 1;
    const uint8_t *text = nullptr;
    const size_t iplen = in.take((h >> 2) & 15, &text);
    std::vector<uint8_t> p = {2, 0, 0, type, static_cast<uint8_t>(iplen)};
    p.insert(p.end(), text, text + iplen);
    p.push_back(in.byte());  // signal
    if (type == 1) {
      append_sections(in, p, (h & 0x40) != 0);
    } else {
      const size_t n = in.take(in.byte(), &text);
      p.insert(p.end(), text, text + n);
    }
    if (p.size() > kPacketMax) p.resize(kPacketMax);
    put16(p, 1, p.size());
    for (size_t i = 0; i < copies && out.size() < kStreamMax; i++)
      out.insert(out.end(), p.begin(), p.end());
  }
}

void fail(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  fputs("fuzz property failed: ", stderr);
  vfprintf(stderr, fmt, ap);
  fputc('\n', stderr);
  va_end(ap);
  abort();
}

}  // namespace fuzzkit

// Serial driver layer: one record per port number, termios settings,
// non-blocking I/O with small negative result codes.
#include "qycomm.h"
#include "sandbox.h"

#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

COMPORT_DATA ComPortData[QYC_MAX_PORTS] = {
#define QYC_CLOSED {-1, {}, 0, 0, 0, 0, 0, 0, PTHREAD_MUTEX_INITIALIZER, 0}
    QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED,
    QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED,
    QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED,
    QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED, QYC_CLOSED,
#undef QYC_CLOSED
};

// Index 11 is the slot of 7200 bit/s, which termios lacks: it runs at 4800.
const DWORD Baud_Table[20] = {
    B50,   B75,   B110,  B134,  B150,   B300,   B600,   B1200,  B1800,  B2400,
    B4800, B4800, B9600, B19200, B38400, B57600, B115200, B230400, B460800, B921600,
};

int DebugPort = 1;

namespace {

constexpr unsigned kMaxPort = QYC_MAX_PORTS - 1;

// Prints held between PrintHold and PrintRelease.
struct Held {
  bool on;
  size_t len;
  char buf[1024];
};
Held g_held;

void write_out(const char *text, size_t len) {
  fwrite(text, 1, len, stdout);
  fflush(stdout);
}

void flush_held() {
  if (g_held.len > 0) write_out(g_held.buf, g_held.len);
  g_held.len = 0;
}

void print_out(const char *text, size_t len) {
  if (!g_held.on) return write_out(text, len);
  if (g_held.len + len > sizeof g_held.buf) flush_held();
  memcpy(g_held.buf + g_held.len, text, len);  // len < 512: it fits now
  g_held.len += len;
}
constexpr tcflag_t kDataBits[4] = {CS5, CS6, CS7, CS8};

// Port number check (-1) then descriptor check (-3); 0 when usable.
int check_port(int port) {
  if (static_cast<unsigned>(port) > kMaxPort) return QYC_ERR_PORT;
  if (ComPortData[port].hFile < 0) return QYC_ERR_NO_FD;
  return QYC_OK;
}

// Device name of a port number; false for 30 and 31, which have none.
bool device_name(int port, char *name, size_t len) {
  if (port <= 19) {
    snprintf(name, len, "//dev//ttyS%d", port);
  } else if (port <= 29) {
    snprintf(name, len, "//dev//ttyUSB%d", port - 20);
  } else {
    return false;
  }
  return true;
}

// Attributes could not be read or written: the device is of no use, so
// it is closed again rather than left open behind a "failed" result.
int fail_open(COMPORT_DATA &p, const char *msg) {
  PrintMsg("%s", msg);
  close(p.hFile);
  p.hFile = -1;
  return QYC_ERR_SYSCALL;
}

}  // namespace

extern "C" {

int qyc_Open(int port) {
  if (static_cast<unsigned>(port) > kMaxPort) return QYC_ERR_PORT;
  COMPORT_DATA &p = ComPortData[port];
  char name[20];
  char mapped[300];
  const char *path = nullptr;
  if (device_name(port, name, sizeof name)) path = sandbox_path(name, mapped, sizeof mapped);
  p.hFile = path ? open(path, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
  if (p.hFile < 0) return QYC_ERR_NO_FD;

  if (tcgetattr(p.hFile, &p.comio) != 0) return fail_open(p, "API:tcgetattr() error\r\n");
  p.comio.c_iflag &= ~static_cast<tcflag_t>(INPCK);
  p.comio.c_oflag = 0;
  p.comio.c_cflag = B115200 | CS8 | CREAD | CLOCAL;
  p.comio.c_lflag = ICANON;
  p.comio.c_cc[VTIME] = 0;
  p.comio.c_cc[VMIN] = 1;
  tcflush(p.hFile, TCIOFLUSH);
  if (tcsetattr(p.hFile, TCSANOW, &p.comio) != 0) return fail_open(p, "API:tcsetattr() error\r\n");

  pthread_mutex_init(&p.g_criticalsection, nullptr);
  return QYC_OK;
}

int qyc_ConfigPort(int port, int baud, int mode) {
  int rc = check_port(port);
  if (rc != QYC_OK) return rc;
  if (static_cast<unsigned>(baud) > 19 || static_cast<unsigned>(mode) > 63) return QYC_ERR_RANGE;

  COMPORT_DATA &p = ComPortData[port];
  memset(&p.comio, 0, sizeof p.comio);
  p.comio.c_cflag = Baud_Table[baud] | CREAD | CLOCAL | kDataBits[mode & 0x03];
  if (mode & 0x04) p.comio.c_cflag |= CSTOPB;
  switch (mode & 0x38) {
    case 0x08:
      p.comio.c_cflag |= PARENB | PARODD;
      p.comio.c_iflag |= INPCK;
      break;
    case 0x18:
      p.comio.c_cflag |= PARENB;
      p.comio.c_iflag |= INPCK;
      break;
    default:  // none; mark and space also run without parity
      break;
  }
  p.comio.c_cc[VTIME] = 10;
  p.comio.c_cc[VMIN] = 1;
  // Some C libraries keep the speed in separate fields as well.
  cfsetispeed(&p.comio, Baud_Table[baud]);
  cfsetospeed(&p.comio, Baud_Table[baud]);
  tcflush(p.hFile, TCIOFLUSH);
  if (tcsetattr(p.hFile, TCSANOW, &p.comio) != 0) return QYC_ERR_SYSCALL;
  return QYC_OK;
}

int qyc_Close(int port) {
  int rc = check_port(port);
  if (rc != QYC_OK) return rc;
  int fd = ComPortData[port].hFile;
  ComPortData[port].hFile = -1;
  return close(fd) == 0 ? QYC_OK : QYC_ERR_SYSCALL;
}

int qyc_Read(int port, char *buf, int len) {
  int rc = check_port(port);
  if (rc != QYC_OK) return rc;
  if (len < 0) return QYC_ERR_RANGE;
  ssize_t n = read(ComPortData[port].hFile, buf, static_cast<size_t>(len));
  return n < 0 ? QYC_ERR_SYSCALL : static_cast<int>(n);
}

char qyc_Getch(int port) {
  char c = 0;
  int rc = qyc_Read(port, &c, 1);
  if (rc < 0) return static_cast<char>(rc & 0xFF);
  if (rc == 0) return static_cast<char>(0xFB);
  return c;
}

int qyc_Write(int port, char *buf, int len) {
  int rc = check_port(port);
  if (rc != QYC_OK) return rc;
  if (len < 0) return QYC_ERR_RANGE;
  COMPORT_DATA &p = ComPortData[port];
  pthread_mutex_lock(&p.g_criticalsection);
  p.count++;
  pthread_mutex_unlock(&p.g_criticalsection);

  ssize_t n = write(p.hFile, buf, static_cast<size_t>(len));
  if (n == len) return len;
  pthread_mutex_lock(&p.g_criticalsection);
  p.count--;
  pthread_mutex_unlock(&p.g_criticalsection);
  return QYC_ERR_SHORT;
}

int qyc_Putch(int port, char term) { return qyc_Write(port, &term, 1); }

int qyc_Flush(int port, int func) {
  int rc = check_port(port);
  if (rc != QYC_OK) return rc;
  static constexpr int kQueue[3] = {TCOFLUSH, TCIFLUSH, TCIOFLUSH};
  if (static_cast<unsigned>(func) > 2) return QYC_ERR_RANGE;
  tcflush(ComPortData[port].hFile, kQueue[func]);
  return QYC_OK;
}

long qyc_InpQueueLen(int port) {
  int rc = check_port(port);
  if (rc != QYC_OK) return rc;
  int waiting = 0;
  if (ioctl(ComPortData[port].hFile, FIONREAD, &waiting) != 0) return QYC_ERR_SYSCALL;
  return waiting;
}

int PrintMsg(const char *format, ...) {
  if (DebugPort != 1) return 0;
  char buf[512];
  va_list ap;
  va_start(ap, format);
  const int n = vsnprintf(buf, sizeof buf, format, ap);  // longer text is cut to 511 characters
  va_end(ap);
  if (n < 0) return 0;
  const size_t len = strlen(buf);  // up to a NUL the text may hold, as printed always
  print_out(buf, len);
  return static_cast<int>(len);
}

void PrintHold(void) { g_held.on = true; }

void PrintRelease(void) {
  flush_held();
  g_held.on = false;
}

}  // extern "C"

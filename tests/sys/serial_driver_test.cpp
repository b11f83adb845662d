// Serial driver layer on pseudo-terminals linked in as board devices.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "qycomm.h"
#include "sandbox_dir.h"

using testkit::SandboxDir;

namespace {

class SerialDriver : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int p = 0; p < QYC_MAX_PORTS; p++) {
      if (ComPortData[p].hFile >= 0) qyc_Close(p);
    }
  }
  SandboxDir sb;
};

// Captures what PrintMsg writes to standard output.
class StdoutCapture {
 public:
  StdoutCapture() {
    fflush(stdout);
    saved_ = dup(1);
    FILE *f = tmpfile();
    file_ = f;
    dup2(fileno(f), 1);
  }
  std::string text() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
    saved_ = -1;
    std::string out;
    rewind(file_);
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    fclose(file_);
    return out;
  }
  ~StdoutCapture() {
    if (saved_ >= 0) text();
  }

 private:
  int saved_ = -1;
  FILE *file_ = nullptr;
};

TEST_F(SerialDriver, PortNumbersMapToDeviceNames) {
  struct Case {
    int port;
    const char *device;
  } cases[] = {{0, "/dev/ttyS0"}, {2, "/dev/ttyS2"}, {19, "/dev/ttyS19"},
               {20, "/dev/ttyUSB0"}, {22, "/dev/ttyUSB2"}, {29, "/dev/ttyUSB9"}};
  for (const Case &c : cases) {
    EXPECT_EQ(qyc_Open(c.port), QYC_ERR_NO_FD) << "port " << c.port << " before its device exists";
    sb.add_pty(c.device);
    EXPECT_EQ(qyc_Open(c.port), QYC_OK) << "port " << c.port;
    EXPECT_EQ(qyc_Close(c.port), QYC_OK);
  }
}

TEST_F(SerialDriver, PortsWithoutDeviceAndOutOfRange) {
  EXPECT_EQ(qyc_Open(30), QYC_ERR_NO_FD);
  EXPECT_EQ(qyc_Open(31), QYC_ERR_NO_FD);
  char buf[4] = {};
  for (int port : {32, 33, 255, 1000, -1, -32}) {
    SCOPED_TRACE(port);
    EXPECT_EQ(qyc_Open(port), QYC_ERR_PORT);
    EXPECT_EQ(qyc_ConfigPort(port, 16, 3), QYC_ERR_PORT);
    EXPECT_EQ(qyc_Close(port), QYC_ERR_PORT);
    EXPECT_EQ(qyc_Read(port, buf, 4), QYC_ERR_PORT);
    EXPECT_EQ(qyc_Write(port, buf, 4), QYC_ERR_PORT);
    EXPECT_EQ(qyc_Flush(port, 3), QYC_ERR_PORT) << "port is checked before the function";
    EXPECT_EQ(qyc_InpQueueLen(port), QYC_ERR_PORT);
    EXPECT_EQ(static_cast<unsigned char>(qyc_Getch(port)), 0xFF);
  }
}

TEST_F(SerialDriver, EveryOperationOnAPortWithoutDescriptor) {
  char buf[4] = {};
  auto check_closed = [&](int port) {
    EXPECT_EQ(qyc_ConfigPort(port, 99, 99), QYC_ERR_NO_FD) << "descriptor is checked before arguments";
    EXPECT_EQ(qyc_Read(port, buf, 4), QYC_ERR_NO_FD);
    EXPECT_EQ(qyc_Write(port, buf, 4), QYC_ERR_NO_FD);
    EXPECT_EQ(qyc_Putch(port, 'x'), QYC_ERR_NO_FD);
    EXPECT_EQ(qyc_Flush(port, 0), QYC_ERR_NO_FD);
    EXPECT_EQ(qyc_InpQueueLen(port), QYC_ERR_NO_FD);
    EXPECT_EQ(qyc_Close(port), QYC_ERR_NO_FD);
    EXPECT_EQ(static_cast<unsigned char>(qyc_Getch(port)), 0xFD);
  };
  check_closed(5);  // never opened
  EXPECT_EQ(qyc_Open(6), QYC_ERR_NO_FD);  // device missing
  check_closed(6);
  sb.add_pty("/dev/ttyS7");
  ASSERT_EQ(qyc_Open(7), QYC_OK);
  ASSERT_EQ(qyc_Close(7), QYC_OK);
  check_closed(7);  // closed again
}

TEST_F(SerialDriver, OpenAppliesProvisionalSettings) {
  sb.add_pty("/dev/ttyS1");
  ASSERT_EQ(qyc_Open(1), QYC_OK);
  const termios &t = ComPortData[1].comio;
  EXPECT_EQ(t.c_cflag, static_cast<tcflag_t>(B115200 | CS8 | CREAD | CLOCAL));
  EXPECT_EQ(t.c_lflag, static_cast<tcflag_t>(ICANON));
  EXPECT_EQ(t.c_oflag, 0u);
  EXPECT_EQ(t.c_iflag & INPCK, 0u);
  EXPECT_EQ(t.c_cc[VMIN], 1);
  EXPECT_EQ(t.c_cc[VTIME], 0);
  int fl = fcntl(ComPortData[1].hFile, F_GETFL);
  EXPECT_TRUE(fl & O_NONBLOCK);
}

TEST_F(SerialDriver, ConfigPortWritesLineSettings) {
  sb.add_pty("/dev/ttyS1");
  ASSERT_EQ(qyc_Open(1), QYC_OK);
  int fd = ComPortData[1].hFile;
  struct Case {
    int mode;
    tcflag_t cflag;  // besides speed, CREAD and CLOCAL
    tcflag_t iflag;
  } cases[] = {
      {0x03, CS8, 0},                          // 8N1
      {0x00, CS5, 0},                          // 5N1
      {0x01, CS6, 0},
      {0x02, CS7, 0},
      {0x1B, CS8 | PARENB, INPCK},             // even
      {0x0B, CS8 | PARENB | PARODD, INPCK},    // odd
      {0x2B, CS8, 0},                          // mark runs without parity
      {0x3B, CS8, 0},                          // space as well
      {0x13, CS8, 0}, {0x23, CS8, 0}, {0x33, CS8, 0},
      {0x07, CS8 | CSTOPB, 0},                 // two stop bits
      {0x1F, CS8 | PARENB | CSTOPB, INPCK},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mode);
    int rc = qyc_ConfigPort(1, 12, c.mode);
    const termios &w = ComPortData[1].comio;
    EXPECT_EQ(w.c_cflag & ~static_cast<tcflag_t>(CBAUD), c.cflag | CREAD | CLOCAL);
    EXPECT_EQ(w.c_iflag, c.iflag);
    EXPECT_EQ(w.c_oflag, 0u);
    EXPECT_EQ(w.c_lflag, 0u);
    EXPECT_EQ(w.c_cc[VTIME], 10);
    EXPECT_EQ(w.c_cc[VMIN], 1);
    // Recent Linux ptys refuse 6 and 7 data bits outright (a UART takes
    // them); what the library wrote is checked above either way.
    const tcflag_t size = c.cflag & CSIZE;
    if (size == CS6 || size == CS7) {
      EXPECT_TRUE(rc == QYC_OK || rc == QYC_ERR_SYSCALL) << rc;
      continue;
    }
    ASSERT_EQ(rc, QYC_OK);
    termios back;
    ASSERT_EQ(tcgetattr(fd, &back), 0);
    EXPECT_EQ(cfgetospeed(&back), static_cast<speed_t>(B9600));
    EXPECT_EQ(back.c_cflag & CSTOPB, c.cflag & CSTOPB) << "stop bits as set on the line";
    EXPECT_EQ(back.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode";
  }
}

TEST_F(SerialDriver, BaudIndicesGiveTheirSpeeds) {
  sb.add_pty("/dev/ttyS1");
  ASSERT_EQ(qyc_Open(1), QYC_OK);
  const speed_t expect[20] = {B50,   B75,   B110,  B134,   B150,   B300,   B600,
                              B1200, B1800, B2400, B4800,  B4800,  B9600,  B19200,
                              B38400, B57600, B115200, B230400, B460800, B921600};
  for (int i = 0; i < 20; i++) {
    SCOPED_TRACE(i);
    ASSERT_EQ(qyc_ConfigPort(1, i, 3), QYC_OK);
    EXPECT_EQ(ComPortData[1].comio.c_cflag & CBAUD, expect[i]);
    termios back;
    ASSERT_EQ(tcgetattr(ComPortData[1].hFile, &back), 0);
    speed_t got = cfgetospeed(&back);
    // qemu-user turns B921600 into B0 on its way to the host kernel.
    if (i == 19 && got == B0) continue;
    EXPECT_EQ(got, expect[i]);
  }
  EXPECT_EQ(Baud_Table[11], static_cast<DWORD>(B4800)) << "7200 bit/s runs at 4800";
}

TEST_F(SerialDriver, ConfigPortRejectsOutOfRangeArguments) {
  sb.add_pty("/dev/ttyS1");
  ASSERT_EQ(qyc_Open(1), QYC_OK);
  ASSERT_EQ(qyc_ConfigPort(1, 12, 0x03), QYC_OK);
  const termios before = ComPortData[1].comio;
  EXPECT_EQ(qyc_ConfigPort(1, 20, 3), QYC_ERR_RANGE);
  EXPECT_EQ(qyc_ConfigPort(1, -1, 3), QYC_ERR_RANGE);
  EXPECT_EQ(qyc_ConfigPort(1, 12, 64), QYC_ERR_RANGE);
  EXPECT_EQ(qyc_ConfigPort(1, 12, -1), QYC_ERR_RANGE);
  EXPECT_EQ(memcmp(&before, &ComPortData[1].comio, sizeof before), 0) << "nothing changed";
}

TEST_F(SerialDriver, ReadWriteAndQueueLength) {
  int master = sb.add_pty("/dev/ttyS2");
  ASSERT_EQ(qyc_Open(2), QYC_OK);
  ASSERT_EQ(qyc_ConfigPort(2, 16, 3), QYC_OK);
  char buf[64] = {};
  EXPECT_EQ(qyc_Read(2, buf, sizeof buf), QYC_ERR_SYSCALL) << "nothing waiting";
  EXPECT_EQ(static_cast<unsigned char>(qyc_Getch(2)), 0xFE);
  EXPECT_EQ(qyc_InpQueueLen(2), 0);

  ASSERT_EQ(write(master, "hello\x00\xff", 7), 7);
  testkit::poll_until([] { return qyc_InpQueueLen(2) == 7; });
  EXPECT_EQ(qyc_InpQueueLen(2), 7);
  EXPECT_EQ(qyc_Read(2, buf, 3), 3) << "one read, at most len bytes";
  EXPECT_EQ(std::string(buf, 3), "hel");
  EXPECT_EQ(qyc_InpQueueLen(2), 4);
  EXPECT_EQ(qyc_Getch(2), 'l');
  EXPECT_EQ(qyc_Read(2, buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), std::string("o\x00\xff", 3));
  EXPECT_EQ(qyc_Read(2, buf, 0), 0) << "a zero-length read is not an error";

  DWORD count = ComPortData[2].count;
  char out[] = "\x01\x02\x00\x03";
  EXPECT_EQ(qyc_Write(2, out, 4), 4);
  EXPECT_EQ(qyc_Putch(2, '\r'), 1);
  EXPECT_EQ(ComPortData[2].count, count + 2);
  EXPECT_EQ(testkit::read_for(master, 500, 5), std::string("\x01\x02\x00\x03\r", 5));
}

TEST_F(SerialDriver, PartialWriteGivesMinusSixAndKeepsCount) {
  sb.add_pty("/dev/ttyS2");
  ASSERT_EQ(qyc_Open(2), QYC_OK);
  ASSERT_EQ(qyc_ConfigPort(2, 16, 3), QYC_OK);
  // Nobody reads the master side: the pty buffer fills and the
  // non-blocking write stops short.
  static char big[1 << 20];
  memset(big, 'x', sizeof big);
  DWORD count = ComPortData[2].count;
  EXPECT_EQ(qyc_Write(2, big, sizeof big), QYC_ERR_SHORT);
  EXPECT_EQ(ComPortData[2].count, count);
}

TEST_F(SerialDriver, FlushDiscardsTheChosenQueue) {
  int master = sb.add_pty("/dev/ttyS2");
  ASSERT_EQ(qyc_Open(2), QYC_OK);
  ASSERT_EQ(qyc_ConfigPort(2, 16, 3), QYC_OK);
  ASSERT_EQ(write(master, "abc", 3), 3);
  testkit::poll_until([] { return qyc_InpQueueLen(2) == 3; });
  ASSERT_EQ(qyc_InpQueueLen(2), 3);
  EXPECT_EQ(qyc_Flush(2, 3), QYC_ERR_RANGE);
  EXPECT_EQ(qyc_Flush(2, -1), QYC_ERR_RANGE);
  EXPECT_EQ(qyc_InpQueueLen(2), 3) << "a refused flush discards nothing";
  EXPECT_EQ(qyc_Flush(2, 0), QYC_OK);
  EXPECT_EQ(qyc_InpQueueLen(2), 3) << "output flush keeps input";
  EXPECT_EQ(qyc_Flush(2, 1), QYC_OK);
  EXPECT_EQ(qyc_InpQueueLen(2), 0);
  ASSERT_EQ(write(master, "abc", 3), 3);
  ASSERT_TRUE(testkit::poll_until([] { return qyc_InpQueueLen(2) == 3; }));
  EXPECT_EQ(qyc_Flush(2, 2), QYC_OK);
  EXPECT_EQ(qyc_InpQueueLen(2), 0);
}

TEST_F(SerialDriver, OpenOfANonTerminalClosesIt) {
  // A regular file has no terminal attributes: the open fails with -2,
  // prints the reason, and leaves the port without a descriptor.
  sb.write_file("/dev/ttyS3", "not a tty");
  StdoutCapture cap;
  EXPECT_EQ(qyc_Open(3), QYC_ERR_SYSCALL);
  EXPECT_EQ(cap.text(), "API:tcgetattr() error\r\n");
  EXPECT_LT(ComPortData[3].hFile, 0);
  char c;
  EXPECT_EQ(qyc_Read(3, &c, 1), QYC_ERR_NO_FD);
}

TEST(PrintMsg, PrintsFormattedTextAsIs) {
  {
    StdoutCapture cap;
    EXPECT_EQ(PrintMsg("a=%d %s\r\n", 5, "100%"), 10);
    EXPECT_EQ(cap.text(), "a=5 100%\r\n");
  }
  {
    StdoutCapture cap;
    DebugPort = 0;
    EXPECT_EQ(PrintMsg("hidden %d\r\n", 1), 0);
    DebugPort = 2;
    EXPECT_EQ(PrintMsg("hidden\r\n"), 0);
    DebugPort = 1;
    EXPECT_EQ(cap.text(), "");
  }
  {
    StdoutCapture cap;
    std::string longtext(2000, 'z');
    EXPECT_EQ(PrintMsg("%s", longtext.c_str()), 511) << "cut to the 512-byte buffer";
    EXPECT_EQ(cap.text(), std::string(511, 'z'));
  }
}

}  // namespace

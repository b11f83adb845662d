// Helpers of the main loop: the write-result check with its cumulative
// failure count, the status LED and the millisecond tick.
#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "daemon.h"
#include "sandbox_dir.h"
#include "quarne.h"

using testkit::SandboxDir;

namespace {

int check(int rc, int fd, std::string *log) {
  testing::internal::CaptureStdout();
  const int r = checkWriteStaus(rc, fd);
  *log = testing::internal::GetCapturedStdout();
  return r;
}

TEST(WriteCheck, FourthFailureClosesAndCountsAfresh) {
  int sv[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  iGPRSStep = GPRS_ONLINE;
  iUploadPackageFlag = UPLOAD_HEARTBEAT;
  std::string log;
  EXPECT_EQ(check(1, sv[0], &log), 0);
  EXPECT_EQ(log, "");
  EXPECT_EQ(check(-1, sv[0], &log), -1);
  EXPECT_EQ(log, "write fail, rc=-1\r\n");
  EXPECT_EQ(check(0, sv[0], &log), -1);
  EXPECT_EQ(log, "write fail, rc=0\r\n");
  EXPECT_EQ(check(1428, sv[0], &log), 0) << "a success does not clear the count";
  EXPECT_EQ(check(-1, sv[0], &log), -1);
  EXPECT_EQ(iGPRSStep, GPRS_ONLINE);
  EXPECT_EQ(check(-1, sv[0], &log), -2);
  EXPECT_EQ(log, "iWriteFailCounter > WriteCounterMax --> close socket, rc=-1\r\n");
  EXPECT_EQ(iGPRSStep, GPRS_CONNECT);
  EXPECT_EQ(iUploadPackageFlag, UPLOAD_INIT);
  EXPECT_EQ(fcntl(sv[0], F_GETFD), -1) << "the link was closed";
  EXPECT_EQ(check(-1, -1, &log), -1) << "the count starts again after a close";
  close(sv[1]);
}

TEST(StatusLed, OnToggleOff) {
  SandboxDir sb;
  sb.make_register_file();
  ASSERT_EQ(led_init(), 0);
  // LED 1 is GPIO 84, active low: lit by the clear register, dark by the set register.
  constexpr uint32_t kSet = testkit::kGpioBase + 0x020;
  constexpr uint32_t kClear = testkit::kGpioBase + 0x02C;
  constexpr uint32_t kBit = 1u << (84 % 32);
  const struct {
    int sta;
    uint32_t reg;
  } steps[] = {{1, kClear}, {2, kSet}, {2, kClear}, {2, kSet}, {1, kClear}, {0, kSet}, {2, kClear}, {7, kSet}};
  for (auto s : steps) {
    sb.write32(kSet, 0);
    sb.write32(kClear, 0);
    setStaLed(s.sta);
    EXPECT_EQ(sb.read32(s.reg), kBit) << "sta " << s.sta;
    EXPECT_EQ(sb.read32(s.reg == kSet ? kClear : kSet), 0u) << "sta " << s.sta;
  }
  led_exit();
}

TEST(Ticks, MonotonicMillisecondsCutTo32Bits) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint32_t want = static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
  EXPECT_LT(GetTimeTicks() - want, 1000u) << "not the time of day, which can be set backwards";
}

}  // namespace

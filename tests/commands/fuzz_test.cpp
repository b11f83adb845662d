// Bad input never crashes: random and truncated sections for both command
// channels and random bridged requests and responses, each checked against
// a simple model of how many replies or bytes must come out. Bounded in
// count and time; the seed is printed (TRM_FUZZ_SEED repeats a run).
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sandbox_dir.h"

#include "commands_fixture.h"
#include "crc16.h"
#include "my_uart.h"

namespace cmdtest {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kTimeBudget = std::chrono::seconds(4);
constexpr int kSectionMax = 1500;

class Fuzz : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    DebugPort = 0;  // thousands of commands: keep the test log readable
    snprintf(configFile, sizeof configFile, "%s", "/quarne/qysc/fuzz.ini");
    rng.seed(testkit::fuzz_seed("command fuzz"));
    start = Clock::now();
  }
  void TearDown() override {
    DebugPort = 1;
    CommandsTest::TearDown();
  }
  bool time_left() const { return Clock::now() - start < kTimeBudget; }
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
  template <size_t N>
  const char *one_of(const char *const (&list)[N]) { return list[pick(0, N - 1)]; }

  // A section built from pieces that look like commands, arguments, noise
  // and separators, cut to a random length.
  std::string random_section(const char *const *words, size_t nwords) {
    static const char *const kSeparators[] = {"\r", "\r", "\r", "\r\n", "\r\r", "\n"};
    std::string s;
    const int target = pick(0, 3) == 0 ? pick(0, kSectionMax) : pick(0, 80);
    while (static_cast<int>(s.size()) < target) {
      switch (pick(0, 5)) {
        case 0: s += static_cast<char>(pick(0, 255)); break;
        case 1: s.append(static_cast<size_t>(pick(0, 40)), static_cast<char>(pick(32, 126))); break;
        case 2: s += std::to_string(pick(0, 1) ? pick(0, 9999) : static_cast<int>(rng())); break;
        case 3: s += pick(0, 6) == 0 ? std::string(1, '\0') : std::string(one_of(kSeparators)); break;
        default: s += words[pick(0, static_cast<int>(nwords) - 1)]; break;
      }
    }
    s.resize(static_cast<size_t>(target));
    return s;
  }
  std::mt19937 rng;
  Clock::time_point start;
};

// Replies the virtual COM channel must give: one per CR, up to a NUL that
// comes before the next CR.
int qycom_model(const std::string &s) {
  int n = 0;
  for (char c : s) {
    if (c == '\0') break;
    n += c == '\r';
  }
  return n;
}

// Replies the configuration channel must give: the non-empty CR-separated
// runs before the first NUL, at most as many as the section has CRs.
int vio_model(const std::string &s) {
  int crs = 0, runs = 0;
  bool inRun = false, ended = false;
  for (char c : s) {
    crs += c == '\r';
    if (ended) continue;
    if (c == '\0') ended = true;
    const bool body = !ended && c != '\r';
    if (body && !inRun) runs++;
    inRun = body;
  }
  return runs < crs ? runs : crs;
}

void expect_ring_sound(const Job4Cmd &q) {
  ASSERT_LE(Job4Cmd_Pending(&q), 15);
  for (uint32_t i = q.out; i != q.in; i = (i + 1) % JOB4CMD_SLOTS) {
    ASSERT_LT(q.bDataLen[i], JOB4CMD_TEXT);
    ASSERT_EQ(strnlen(q.bData[i], JOB4CMD_TEXT), q.bDataLen[i]);
  }
}

void expect_settings_sound() {
  for (int p = 1; p <= 2; p++) {
    ASSERT_EQ(baseInfo.comInfo[p].port, p);
    ASSERT_GE(baseInfo.comInfo[p].databit, 5);
    ASSERT_LE(baseInfo.comInfo[p].databit, 8);
    ASSERT_LE(baseInfo.comInfo[p].parity, 2);
    ASSERT_LE(baseInfo.comInfo[p].stopbit, 2);
  }
  ASSERT_LT(strnlen(baseInfo.ucServerIP, 32), 32u);
  ASSERT_LT(strnlen(baseInfo.ucVirtualIP, 32), 32u);
  ASSERT_LT(strnlen(baseInfo.ucModuleAlias, 8), 8u);
  ASSERT_EQ(baseInfo.UartTimeInterval[1], baseInfo.UartTimeInterval[2]);
  ASSERT_GE(baseInfo.UartTimeInterval[1], 1u);
  ASSERT_LE(baseInfo.UartTimeInterval[1], 5000u);
  ASSERT_GE(baseInfo.UartDataMax[1], 10u);
  ASSERT_LE(baseInfo.UartDataMax[1], 1000u);
  ASSERT_TRUE(iCmdEcho == 0 || iCmdEcho == 1);
}

const char *const kComWords[] = {"00", "01", "02", "021", "0229600", "03", "0318N1", "0727E2", "06",
                                 "10", "16", "161", "162", "24", "240", "241", "25", "25E", "25S",
                                 "26", "26I", "28", "281", "29", "99", "0", "1", "2", "N", "E", "O"};
const char *const kVioWords[] = {"@SIP=", "@SIP", "@SPORT=", "@SPORT", "@HEARTBEAT=", "@VIP=",
                                 "@ALIAS=", "@ALIAS", "@RELINK", "@REBOOT", "@FWVER", "@CSQ",
                                 "@COMDATA1", "@COMDATA2", "@TIMEINTERVAL=", "@TIMEINTERVAL",
                                 "@UARTDATAMAX=", "@UARTDATAMAX", "@ISTCP2RTU1=", "@ISTCP2RTU2",
                                 "@", "=", "-1", "4294967295", "5000", "10", "@SAVE"};

TEST_F(Fuzz, VirtualComRandomSections) {
  int rounds = 0;
  for (; rounds < 20000 && time_left(); rounds++) {
    const std::string s = random_section(kComWords, std::size(kComWords));
    const int before = QYCOM_IsCom();
    call_qycom(s);
    const int want = std::min(qycom_model(s), 15 - before);
    ASSERT_EQ(QYCOM_IsCom() - before, want) << "round " << rounds;
    expect_ring_sound(M_Job4Cmd);
    expect_settings_sound();
    if (pick(0, 3) != 0) drain(M_Job4Cmd);  // sometimes let the ring fill up
  }
  std::cout << rounds << " sections\n";
}

TEST_F(Fuzz, ConfigurationRandomSections) {
  int rounds = 0;
  for (; rounds < 20000 && time_left(); rounds++) {
    std::string s = random_section(kVioWords, std::size(kVioWords));
    if (s.find("@SAVE") != std::string::npos && pick(0, 9) != 0) s.replace(s.find("@SAVE"), 5, "@CSQ!");
    const int before = QYIO_IsCom();
    call_vio(s);
    const int want = std::min(vio_model(s), 15 - before);
    ASSERT_EQ(QYIO_IsCom() - before, want) << "round " << rounds;
    expect_ring_sound(VIO_Reply);
    expect_settings_sound();
    if (pick(0, 3) != 0) drain(VIO_Reply);
  }
  std::cout << rounds << " sections\n";
}

// Every prefix of well-formed sections, each in a block of exactly its size.
TEST_F(Fuzz, TruncatedSections) {
  const std::string com = "00\r01\r0318N1\r161\r241\r01\r240\r25E\r26I\r282\r";
  for (size_t len = 0; len <= com.size(); len++) {
    call_qycom(com.substr(0, len));
    ASSERT_EQ(static_cast<int>(drain(M_Job4Cmd).size()), qycom_model(com.substr(0, len)));
  }
  const std::string io = "@SIP=10.0.0.1\r@SPORT=70000\r@TIMEINTERVAL=20\r@UARTDATAMAX=999\r"
                         "@ALIAS=Pump\r@COMDATA2\r@CSQ\r@ISTCP2RTU1=1\r";
  for (size_t len = 0; len <= io.size(); len++) {
    call_vio(io.substr(0, len));
    ASSERT_EQ(static_cast<int>(drain(VIO_Reply).size()), vio_model(io.substr(0, len)));
    expect_settings_sound();
  }
}

class BridgeFuzz : public Fuzz {
 protected:
  void SetUp() override {
    Fuzz::SetUp();
    master[1] = sb.add_pty("/dev/ttyS1");
    master[2] = sb.add_pty("/dev/ttyS2");
    ASSERT_EQ(Open_Com(1, 115200, 8, 0, 0), COM_OK);
    ASSERT_EQ(Open_Com(2, 115200, 8, 0, 0), COM_OK);
  }
  std::vector<unsigned char> random_bytes(int n) {
    std::vector<unsigned char> b(static_cast<size_t>(n));
    for (auto &c : b) c = static_cast<unsigned char>(pick(0, 255));
    return b;
  }
  bool wait_queue(int slot, int n) {
    for (int waited = 0; waited < 3000; waited += 2) {
      if (UART_DataSizeInCom(baseInfo.comInfo[slot].port) >= n) return true;
      poll(nullptr, 0, 2);
    }
    return false;
  }
  int master[3] = {-1, -1, -1};
};

TEST_F(BridgeFuzz, RandomRequests) {
  int rounds = 0;
  for (; rounds < 1000 && time_left(); rounds++) {
    const int slot = pick(1, 2);
    const int len = pick(0, 4) == 0 ? pick(0, 1100) : pick(0, 20);
    std::vector<unsigned char> s = random_bytes(len);
    const int rc = TCP2RTU_Request(slot, s.empty() ? nullptr : s.data(), len);
    if (len < 6 || len > 1022) {
      ASSERT_LT(rc, 0) << "len " << len;
      continue;
    }
    ASSERT_EQ(rc, 0) << "len " << len;
    const std::string line = testkit::read_for(master[slot], 3000, static_cast<size_t>(len - 4));
    ASSERT_EQ(static_cast<int>(line.size()), len - 4);
    ASSERT_EQ(0, memcmp(line.data(), s.data() + 6, static_cast<size_t>(len - 6)));
    const int crc = getCRC16(s.data(), 6, len - 6);
    ASSERT_EQ(static_cast<unsigned char>(line[len - 6]), crc & 0xFF);
    ASSERT_EQ(static_cast<unsigned char>(line[len - 5]), crc >> 8);
  }
  for (int slot : {1, 2}) EXPECT_EQ(testkit::read_for(master[slot], 100), "");  // nothing stray
  std::cout << rounds << " requests\n";
}

TEST_F(BridgeFuzz, RandomResponses) {
  int rounds = 0;
  for (; rounds < 1000 && time_left(); rounds++) {
    const int slot = pick(1, 2);
    const int n = pick(0, 5) == 0 ? pick(1, 3) : pick(4, 300);
    std::vector<unsigned char> frame = random_bytes(n);
    if (n >= 2 && pick(0, 1) == 0) {  // half of them carry a good CRC
      const int crc = getCRC16(frame.data(), 0, n - 2);
      frame[static_cast<size_t>(n - 2)] = static_cast<unsigned char>(crc & 0xFF);
      frame[static_cast<size_t>(n - 1)] = static_cast<unsigned char>(crc >> 8);
    }
    ASSERT_EQ(write(master[slot], frame.data(), frame.size()), static_cast<ssize_t>(n));
    ASSERT_TRUE(wait_queue(slot, n));
    std::vector<unsigned char> out(static_cast<size_t>(n + 4));
    const int rc = RTU2TCP_Response(slot, out.data(), n);
    const bool good = n >= 2 && getCRC16(frame.data(), 0, n - 2) ==
                                    (frame[static_cast<size_t>(n - 2)] | frame[static_cast<size_t>(n - 1)] << 8);
    ASSERT_EQ(UART_DataSizeInCom(baseInfo.comInfo[slot].port), 0);
    if (!good) {
      ASSERT_EQ(rc, -1) << "n " << n;
      continue;
    }
    ASSERT_EQ(rc, n + 4);
    ASSERT_EQ((out[4] << 8) | out[5], n - 2);
    ASSERT_EQ(0, memcmp(out.data() + 6, frame.data(), static_cast<size_t>(n - 2)));
  }
  std::cout << rounds << " responses\n";
}

}  // namespace
}  // namespace cmdtest

// The daemon's packets, byte for byte, as the builders lay them out in the
// send buffer; the heartbeat burst; reply draining; serial bursts.
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "linehold.h"
#include "packet.h"
#include "qycom.h"
#include "qyio.h"
#include "sandbox_dir.h"
#include "scramble.h"
#include "settings.h"
#include "my_uart.h"
#include "uart.h"

using testkit::SandboxDir;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes sent() { return Bytes(ucSendData, ucSendData + usSendDataLen); }

Bytes text(const char *s) { return Bytes(s, s + strlen(s)); }

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Header, default virtual IP and signal byte 71 of a packet of len bytes.
Bytes prefix(uint8_t type, uint16_t len) {
  return cat({{2, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), type, 11},
              text("127.0.0.101"), {71}});
}

void put_reply(Job4Cmd &q, const std::string &line) {
  const uint32_t slot = q.in % JOB4CMD_SLOTS;
  memcpy(q.bData[slot], line.data(), line.size());
  q.bData[slot][line.size()] = '\0';
  q.bDataLen[slot] = static_cast<uint8_t>(line.size());
  q.in = (slot + 1) % JOB4CMD_SLOTS;
}

class Packets : public ::testing::Test {
 protected:
  void SetUp() override {
    Default_BaseInfo();
    modemSignal = 71;
    netInterface = 0;
    memset(&M_Job4Cmd, 0, sizeof M_Job4Cmd);
    memset(&VIO_Reply, 0, sizeof VIO_Reply);
  }
};

TEST_F(Packets, InitPacket) {
  baseInfo.usServerTimeDelay = 0;
  makeInitPack(ucSendData);
  const Bytes want = cat({prefix(0, 55), {0, 0, 7}, text("TRM-310"), {7}, text("KX-7700"), {5},
                          text("V1.01"), {2, 10, 0, 10, 50, 0}, Bytes(8, 0)});
  EXPECT_EQ(sent(), want);
  EXPECT_EQ(M_PackageHeader, reinterpret_cast<PackageHeader *>(ucSendData));
  EXPECT_EQ(M_PackageHeader->usPackageLen, 55);
  EXPECT_EQ(baseInfo.usServerTimeDelay, 50);

  // Length follows the virtual IP and the alias: 37 + ip + alias.
  snprintf(baseInfo.ucVirtualIP, sizeof baseInfo.ucVirtualIP, "%s", "");
  snprintf(baseInfo.ucModuleAlias, sizeof baseInfo.ucModuleAlias, "%s", "P1");
  netInterface = 1;
  makeInitPack(ucSendData);
  EXPECT_EQ(usSendDataLen, 39);
  EXPECT_EQ(ucSendData[4], 0);
  EXPECT_EQ(ucSendData[5], 71) << "signal byte right after the header";
  EXPECT_EQ(ucSendData[6], 1) << "network interface";
}

TEST_F(Packets, HeartbeatAndItsBurst) {
  makeHearbeatPack(ucSendData);
  EXPECT_EQ(sent(), prefix(2, 17));
  encode_func(ucSendData, usSendDataLen, 0);
  const Bytes one = sent();
  EXPECT_EQ(makeHeartbeatBurst(ucSendData, 17), 1428);
  EXPECT_EQ(usSendDataLen, 1428);
  for (int k = 0; k < 84; k++) {
    ASSERT_EQ(Bytes(ucSendData + 17 * k, ucSendData + 17 * (k + 1)), one) << "copy " << k;
  }
  // With the longest virtual IP: k = ceil((1460 - L) / L) - 1 copies.
  snprintf(baseInfo.ucVirtualIP, sizeof baseInfo.ucVirtualIP, "%s", std::string(31, '1').c_str());
  makeHearbeatPack(ucSendData);
  EXPECT_EQ(usSendDataLen, 37);
  EXPECT_EQ(makeHeartbeatBurst(ucSendData, 37), 37 * 38);
}

TEST_F(Packets, VerifyAnswer) {
  lVerifyData = 11;
  makeVerifyPack(ucSendData);
  EXPECT_EQ(sent(), cat({prefix(1, 26), {1, 2, 1, 4, 0, 11, 0, 0, 0}}));
  lVerifyData = -11;
  makeVerifyPack(ucSendData);
  EXPECT_EQ(Bytes(ucSendData + 22, ucSendData + 26), (Bytes{0xF5, 0xFF, 0xFF, 0xFF}));
  lVerifyData = 520189;
  makeVerifyPack(ucSendData);
  EXPECT_EQ(Bytes(ucSendData + 22, ucSendData + 26), (Bytes{0xFD, 0xEF, 0x07, 0x00}));
}

TEST_F(Packets, RepliesJoinedInOneSection) {
  put_reply(VIO_Reply, "!SIP;OK\r\n");
  put_reply(VIO_Reply, "!SPORT;OK\r\n");
  testing::internal::CaptureStdout();
  makeQYIOPack(ucSendData);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "    out_reply[9, 0]:!SIP;OK\r\n\r\n    out_reply[11, 1]:!SPORT;OK\r\n\r\n"
            "----all reply[20]: !SIP;OK\r\n!SPORT;OK\r\n\r\n");
  EXPECT_EQ(sent(), cat({prefix(1, 42), {1, 1, 1, 20, 0}, text("!SIP;OK\r\n!SPORT;OK\r\n")}));
  EXPECT_EQ(QYIO_IsCom(), 0);

  put_reply(M_Job4Cmd, "OK\r");
  testing::internal::CaptureStdout();
  makeQYCOMPack(ucSendData);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "    out_reply(0)[3, 0]:OK\r\r\n----all reply[3]: OK\r\r\n");
  EXPECT_EQ(sent(), cat({prefix(1, 25), {1, 0, 1, 3, 0}, text("OK\r")}));
}

TEST_F(Packets, RepliesThatDoNotFitStayQueued) {
  // 15 lines of 127 characters would need 1905 bytes; the packet holds 1478.
  for (int i = 0; i < 15; i++) put_reply(M_Job4Cmd, std::string(125, static_cast<char>('a' + i)) + "\r\n");
  testing::internal::CaptureStdout();
  makeQYCOMPack(ucSendData);
  EXPECT_EQ(usSendDataLen, 22 + 11 * 127);
  EXPECT_LE(usSendDataLen, PACKET_BUF_SIZE);
  EXPECT_EQ(QYCOM_IsCom(), 4);
  makeQYCOMPack(ucSendData);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(usSendDataLen, 22 + 4 * 127);
  EXPECT_EQ(ucSendData[22], 'l') << "the 12th line opens the second packet";
  EXPECT_EQ(QYCOM_IsCom(), 0);
}

TEST_F(Packets, CorruptRingDoesNotReadPastItsLines) {
  M_Job4Cmd.in = 3;
  M_Job4Cmd.out = 0;
  for (int i = 0; i < 3; i++) M_Job4Cmd.bDataLen[i] = 255;  // longer than a slot
  testing::internal::CaptureStdout();
  makeQYCOMPack(ucSendData);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(usSendDataLen, 22 + 3 * JOB4CMD_TEXT);
}

class SerialBursts : public Packets {
 protected:
  void SetUp() override {
    Packets::SetUp();
    rs485 = sb.add_pty("/dev/ttyS1");
    ASSERT_EQ(ReOpenCom(1), 0);
  }
  void TearDown() override { UART_Close(1); }
  void feed(const std::string &bytes) {
    ASSERT_EQ(write(rs485, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    testkit::poll_until([&] { return UART_DataSizeInCom(1) >= static_cast<int>(bytes.size()); });
    ASSERT_EQ(UART_DataSizeInCom(1), static_cast<int>(bytes.size()));
  }
  SandboxDir sb;
  int rs485 = -1;
};

TEST_F(SerialBursts, ThreeBytesMakeA25BytePacket) {
  feed("\x01\x02\x03");
  iRS485Len = 3;
  makeCOM2Pack(ucSendData);
  EXPECT_EQ(sent(), cat({prefix(1, 25), {1, 1, 0, 3, 0, 1, 2, 3}}));
  EXPECT_EQ(UART_DataSizeInCom(1), 0);
}

TEST_F(SerialBursts, OnlyTheBytesDeliveredAreSent) {
  // The count said 10 but only 4 bytes are there: no stale buffer bytes go out.
  memset(ucSendData, 0xEE, sizeof ucSendData);
  feed("abcd");
  iRS485Len = 10;
  makeCOM2Pack(ucSendData);
  EXPECT_EQ(sent(), cat({prefix(1, 26), {1, 1, 0, 4, 0}, text("abcd")}));
  iRS485Len = 5;
  makeCOM2Pack(ucSendData);
  EXPECT_EQ(usSendDataLen, 0) << "an empty port sends nothing";
}

TEST_F(SerialBursts, DroppedBridgedResponseSendsNothing) {
  baseInfo.isTCP2RTU1 = 1;
  feed("\x01");  // too short to be a response
  iRS485Len = 1;
  makeCOM2Pack(ucSendData);
  EXPECT_EQ(usSendDataLen, 0);
  EXPECT_EQ(UART_DataSizeInCom(1), 0) << "the burst is taken from the port all the same";
}

TEST_F(SerialBursts, RuleIdleGapAndChunks) {
  baseInfo.UartTimeInterval[1] = 50;
  baseInfo.UartDataMax[1] = 10;
  iRS485Len = 0;
  iRS485LenNow = 4;
  EXPECT_EQ(BurstDue(1, 1000), 0) << "count changed: timed from now";
  EXPECT_EQ(ulRS485LastTime, 1000u);
  EXPECT_EQ(BurstDue(1, 1050), 0) << "not more than 50 ms";
  EXPECT_EQ(BurstDue(1, 1051), 1);
  EXPECT_EQ(iRS485Len, 4);
  iRS485LenNow = 25;
  EXPECT_EQ(BurstDue(1, 1052), 1) << "more than UartDataMax: due at once";
  EXPECT_EQ(iRS485Len, 10);
  // The tick wraps without harm.
  iRS485Len = 0;
  iRS485LenNow = 3;
  EXPECT_EQ(BurstDue(1, 0xFFFFFFF0u), 0);
  EXPECT_EQ(BurstDue(1, 0x30u), 1);
}

TEST_F(SerialBursts, OversizedDataMaxIsCappedAtThePacket) {
  baseInfo.UartDataMax[2] = 5000;
  iRS232Len = 0;
  iRS232LenNow = 4000;
  EXPECT_EQ(BurstDue(2, 10), 1);
  EXPECT_EQ(iRS232Len, BurstCapacity(2));
  EXPECT_EQ(BurstCapacity(2), 1500 - 22);
  baseInfo.isTCP2RTU2 = 1;
  EXPECT_EQ(BurstCapacity(2), 1018) << "n + 6 fits the bridge's 1024 bytes";
  snprintf(baseInfo.ucVirtualIP, sizeof baseInfo.ucVirtualIP, "%s", std::string(31, '9').c_str());
  baseInfo.isTCP2RTU2 = 0;
  EXPECT_EQ(BurstCapacity(2), 1500 - 42);
  baseInfo.UartDataMax[1] = 0;
  iRS485Len = 0;
  iRS485LenNow = 2;
  EXPECT_EQ(BurstDue(1, 10), 1) << "a limit of 0 still moves data";
  EXPECT_EQ(iRS485Len, 1);
}

TEST_F(SerialBursts, FullPacketFromAnOversizedBurst) {
  baseInfo.UartDataMax[1] = 5000;
  std::string big(3000, 'x');
  for (size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i);
  ASSERT_EQ(write(rs485, big.data(), 2000), 2000);
  ASSERT_TRUE(testkit::poll_until([] { return UART_DataSizeInCom(1) >= 2000; }));
  iRS485Len = 0;
  iRS485LenNow = UART_DataSizeInCom(1);
  ASSERT_EQ(BurstDue(1, 5), 1);
  makeCOM2Pack(ucSendData);
  EXPECT_EQ(usSendDataLen, PACKET_BUF_SIZE);
  EXPECT_EQ(Bytes(ucSendData + 22, ucSendData + 1500), Bytes(big.begin(), big.begin() + 1478));
  EXPECT_EQ(UART_DataSizeInCom(1), 2000 - 1478) << "the rest stays queued";
}

// While a write waits for room in the link, the lines are read into their
// bounded holding queues; bursts then take the held bytes first, in order.
TEST_F(SerialBursts, LinesAreHeldWhileTheLinkIsFull) {
  int link[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, link), 0);
  fcntl(link[0], F_SETFL, O_NONBLOCK);
  const std::string fill(4096, 'f');
  while (write(link[0], fill.data(), fill.size()) > 0) {
  }
  std::string sent_bytes;
  for (int i = 0; UART_DataSizeInCom(1) < LINE_HOLD_SIZE + 1000 && i < 40; i++) {
    std::string chunk(2000, '\0');
    for (char &c : chunk) c = static_cast<char>(sent_bytes.size() * 7 / 5 + (&c - &chunk[0]));
    ASSERT_EQ(write(rs485, chunk.data(), chunk.size()), 2000);
    sent_bytes += chunk;
    EXPECT_EQ(write_wait(link[0], 50), 0) << "no room in the link";
  }
  for (int i = 0; i < 200 && UART_DataSizeInCom(1) < static_cast<int>(sent_bytes.size()); i++) usleep(5000);
  ASSERT_EQ(UART_DataSizeInCom(1), static_cast<int>(sent_bytes.size())) << "held and queued";
  EXPECT_EQ(hold_count(1), LINE_HOLD_SIZE) << "the holding queue stops at its bound";
  iRS485Len = 1478;
  makeCOM2Pack(ucSendData);
  std::string got(reinterpret_cast<char *>(ucSendData) + 22, usSendDataLen - 22);
  char rest[4096];
  for (int n; (n = UART_Recv(1, rest, sizeof rest)) > 0;) got.append(rest, static_cast<size_t>(n));
  EXPECT_TRUE(got == sent_bytes) << "every byte once, in order";
  char drain[65536];
  while (read(link[1], drain, sizeof drain) == sizeof drain) {
  }
  EXPECT_EQ(write_wait(link[0], 1000), 1) << "room again";
  close(link[0]);
  close(link[1]);
}

TEST(Scramble, RoundTripOfEveryByteValue) {
  unsigned char buf[512];
  for (int i = 0; i < 512; i++) buf[i] = static_cast<unsigned char>(i);
  EncodePacket(buf, 512);
  int moved = 0;
  for (int i = 0; i < 256; i++) moved += buf[i] != i;
  EXPECT_GT(moved, 0);
  EXPECT_EQ(memcmp(buf, buf + 256, 256), 0) << "no state between bytes";
  DecodePacket(buf, 512);
  for (int i = 0; i < 512; i++) ASSERT_EQ(buf[i], static_cast<unsigned char>(i));
}

TEST(Scramble, DebugDump) {
  unsigned char buf[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xAB};
  testing::internal::CaptureStdout();
  encode_func(buf, 12, 1);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.rfind("-- before encoding --\r\n\r\n[   0]  0  1  2  3  4  5  6  7  8  9 \r\n[  10]  A AB \r\n", 0), 0u)
      << out;
  EXPECT_NE(out.find("-- after encoding --\r\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 27), "\r\n\r\n=====================\r\n");
  testing::internal::CaptureStdout();
  decode_func(buf, 12, 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(buf[11], 0xAB);
}

}  // namespace

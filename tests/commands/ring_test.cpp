// The reply ring: pending count, wrap, long texts, and what a full ring
// does with one reply more (through the ring and through both channels).
#include <string>

#include <gtest/gtest.h>

#include "commands_fixture.h"

namespace cmdtest {
namespace {

using Ring = CommandsTest;

TEST_F(Ring, PendingCountFollowsInAndOutAcrossTheWrap) {
  Job4Cmd q{};
  EXPECT_EQ(Job4Cmd_Pending(&q), 0);
  q.in = 5, q.out = 2;
  EXPECT_EQ(Job4Cmd_Pending(&q), 3);
  q.in = 1, q.out = 14;
  EXPECT_EQ(Job4Cmd_Pending(&q), 3);
  q.in = 13, q.out = 14;
  EXPECT_EQ(Job4Cmd_Pending(&q), 15);
  EXPECT_TRUE(Job4Cmd_Full(&q));
}

TEST_F(Ring, PutWritesSlotInAndWrapsAfterSlot15) {
  Job4Cmd q{};
  q.in = q.out = 14;
  Job4Cmd_Put(&q, "!SIP;OK\r\n");
  Job4Cmd_Put(&q, "OK\r");
  EXPECT_EQ(q.in, 0u);
  EXPECT_STREQ(q.bData[14], "!SIP;OK\r\n");
  EXPECT_EQ(q.bDataLen[14], 9);
  EXPECT_STREQ(q.bData[15], "OK\r");
  EXPECT_EQ(q.bDataLen[15], 3);
  EXPECT_EQ(drain(q), (std::vector<std::string>{"!SIP;OK\r\n", "OK\r"}));
  EXPECT_EQ(q.out, 0u);
}

TEST_F(Ring, LongTextIsCutTo127Characters) {
  Job4Cmd q{};
  const std::string text(300, 'x');
  Job4Cmd_Put(&q, text.c_str());
  EXPECT_EQ(q.bDataLen[0], 127);
  EXPECT_EQ(std::string(q.bData[0]), std::string(127, 'x'));
}

TEST_F(Ring, FullRingKeepsTheOldestFifteenAndRefusesTheSixteenth) {
  Job4Cmd q{};
  q.in = q.out = 9;
  for (int i = 0; i < 16; i++) Job4Cmd_Put(&q, std::to_string(i).c_str());
  EXPECT_EQ(Job4Cmd_Pending(&q), 15);
  std::vector<std::string> got = drain(q);
  ASSERT_EQ(got.size(), 15u);
  EXPECT_EQ(got.front(), "0");
  EXPECT_EQ(got.back(), "14");
  Job4Cmd_Put(&q, "again");  // drained: room again
  EXPECT_EQ(drain(q), std::vector<std::string>{"again"});
}

TEST_F(Ring, ClearBufferEmptiesTheVirtualComRing) {
  call_qycom("00\r00\r");
  EXPECT_EQ(QYCOM_IsCom(), 2);
  QYCOM_ClearBuffer();
  EXPECT_EQ(QYCOM_IsCom(), 0);
  EXPECT_EQ(M_Job4Cmd.in, 0u);
  EXPECT_EQ(M_Job4Cmd.out, 0u);
}

// A command that cannot be answered is not carried out either, so every
// reply the server gets stands for a command that acted, in order.
TEST_F(Ring, VirtualComCommandsBeyondFifteenPendingAreNotCarriedOut) {
  std::string text;
  for (int i = 0; i < 15; i++) text += "00\r";
  text += "241\r";
  testing::internal::CaptureStdout();
  call_qycom(text);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(QYCOM_IsCom(), 15);
  EXPECT_EQ(iCmdEcho, 0);
  EXPECT_NE(log.find("    reply queue full: cmd[15] not carried out\r\n"), std::string::npos);
  std::vector<std::string> got = drain(M_Job4Cmd);
  EXPECT_EQ(got, std::vector<std::string>(15, "OK\r"));
  EXPECT_EQ(qycom("241\r"), std::vector<std::string>{"24OK\r"});  // room again: acts
}

TEST_F(Ring, ConfigurationCommandsBeyondFifteenPendingAreNotCarriedOut) {
  std::string text;
  for (int i = 0; i < 15; i++) text += "@FWVER\r";
  text += "@REBOOT\r@RELINK\r";
  call_vio(text);
  EXPECT_EQ(QYIO_IsCom(), 15);
  EXPECT_EQ(isVIOReboot, 0);
  EXPECT_EQ(isVIORelink, 0);
  EXPECT_EQ(drain(VIO_Reply), std::vector<std::string>(15, "!FWVER;V1.01\r\n"));
}

}  // namespace
}  // namespace cmdtest

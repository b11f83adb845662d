// Virtual COM channel: splitting, every command of the table, the echo,
// the line settings commands with their reopen, and the log lines.
#include <termios.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands_fixture.h"

namespace cmdtest {
namespace {

using Strings = std::vector<std::string>;

class VirtualCom : public CommandsTest {
 protected:
  // Both lines present and open as the daemon's start leaves them.
  void open_lines() {
    master1 = sb.add_pty("/dev/ttyS1");
    master2 = sb.add_pty("/dev/ttyS2");
    ASSERT_EQ(Open_Com(1, 115200, 8, 0, 0), COM_OK);
    ASSERT_EQ(Open_Com(2, 115200, 8, 0, 0), COM_OK);
  }
  // Line settings as the device has them (read through the pty master).
  static termios line(int master) {
    termios t{};
    EXPECT_EQ(tcgetattr(master, &t), 0);
    return t;
  }
  static std::string logged(const std::string &text) {
    testing::internal::CaptureStdout();
    call_qycom(text);
    return testing::internal::GetCapturedStdout();
  }
  int master1 = -1, master2 = -1;
};

TEST_F(VirtualCom, SplitsAtCrIntoCommandsAndRepliesInOrder) {
  call_qycom("00\r01\r");
  EXPECT_EQ(QYCOM_IsCom(), 2);
  EXPECT_EQ(QYCOM_IsCom(), 2);  // asking does not take them
  EXPECT_EQ(drain(M_Job4Cmd), (Strings{"OK\r", "V1.2.3"}));
  EXPECT_EQ(QYCOM_IsCom(), 0);

  EXPECT_EQ(qycom("00"), Strings{});               // no CR: no command
  EXPECT_EQ(qycom("00\r01"), Strings{"OK\r"});     // after the last CR: ignored
  EXPECT_EQ(qycom("00\r\r"), (Strings{"OK\r", "N/A\r"}));  // empty command
  EXPECT_EQ(qycom("00\r\n01\r"), (Strings{"OK\r", "N/A\r"}));  // LF starts the next one
  EXPECT_EQ(qycom(""), Strings{});
}

TEST_F(VirtualCom, ChangesTheSectionInPlaceAndNothingBeyondIt) {
  std::string buf = "00\r01\r05\r";  // the third command lies beyond the section
  QYCOM_Process(reinterpret_cast<unsigned char *>(&buf[0]), 6);
  EXPECT_EQ(buf, std::string("00\0" "01\0" "05\r", 9));
  EXPECT_EQ(drain(M_Job4Cmd), (Strings{"OK\r", "V1.2.3"}));
  // A NUL before the next CR ends processing.
  EXPECT_EQ(qycom(std::string("00\r0\0" "1\r05\r", 10)), Strings{"OK\r"});
}

TEST_F(VirtualCom, MyStrtokKeepsOneSavedPositionAndStopsAtNul) {
  char text[] = "ab,,c";
  EXPECT_STREQ(myStrtok(text, ','), "ab");
  EXPECT_STREQ(myStrtok(nullptr, ','), "");
  EXPECT_EQ(myStrtok(nullptr, ','), nullptr);  // "c" has no delimiter after it
  EXPECT_EQ(myStrtok(nullptr, ','), nullptr);  // the position stayed
  char other[] = "x;";
  EXPECT_STREQ(myStrtok(other, ';'), "x");
  // A processed section leaves no saved position into its (gone) buffer.
  call_qycom("00\r01");
  EXPECT_EQ(myStrtok(nullptr, '\r'), nullptr);
  EXPECT_EQ(QYCOM_GetCmdN("a\rb\r\rc", 6), 3);
  EXPECT_EQ(QYCOM_GetCmdN("a\rb\r", 2), 1);
  EXPECT_EQ(QYCOM_GetCmdN("a\r", -1), 0);
}

TEST_F(VirtualCom, FixedRepliesOfTheTable) {
  const struct {
    const char *cmd, *reply;
  } cases[] = {
      {"00", "OK\r"},       {"01", "V1.2.3"},     {"05", "OK\r"},     {"10", "TRM-310\r"},
      {"13", "N/A\r"},      {"15", "N/A\r"},      {"21", "N/A\r"},    {"22", "N/A\r"},
      {"17", "ERROR\r"},    {"18", "ERROR\r"},    {"19", "ERROR\r"},  {"20", "ERROR\r"},
      {"29", "ERROR\r"},    {"26I", "ERROR\r"},   {"26X", "N/A\r"},   {"26", "N/A\r"},
      {"28", "ERROR\r"},    {"281", "100\r"},     {"282", "200\r"},   {"283", "ERROR\r"},
      {"25S", "S=300000\r"}, {"25W", "W=0\r"},    {"25N", "N=1\r"},   {"25M", "M=0\r"},
      {"25B", "B=0\r"},     {"25E", "E=0\r"},     {"25X", "ERROR\r"}, {"25", "ERROR\r"},
      {"99", "N/A\r"},      {"0", "N/A\r"},       {"0017", "OK\r"},   {"011", "V1.2.3"},
      {"24", "ERROR\r"},    {"242", "ERROR\r"},   {"16", "ERROR\r"},  {"163", "ERROR\r"},
      {"02", "ERROR\r"},    {"03", "ERROR\r"},    {"0738N1", "ERROR\r"},
  };
  for (const auto &c : cases) EXPECT_EQ(qycom(std::string(c.cmd) + "\r"), Strings{c.reply}) << c.cmd;
  EXPECT_EQ(iCmdEcho, 0);
}

TEST_F(VirtualCom, EchoStateIsTakenBeforeTheCommandActs) {
  EXPECT_EQ(qycom("241\r"), Strings{"24OK\r"});
  EXPECT_EQ(iCmdEcho, 1);
  EXPECT_EQ(qycom("01\r00\r25E\r"), (Strings{"01V1.2.3", "00OK\r", "25E=1\r"}));
  EXPECT_EQ(qycom("241\r"), Strings{"2424OK\r"});
  EXPECT_EQ(qycom("249\r"), Strings{"24ERROR\r"});
  EXPECT_EQ(iCmdEcho, 1);
  EXPECT_EQ(qycom("0\r\r"), (Strings{"0N/A\r", "N/A\r"}));  // fewer than two characters
  EXPECT_EQ(qycom("240\r"), Strings{"24OK\r"});
  EXPECT_EQ(iCmdEcho, 0);
  EXPECT_EQ(qycom("01\r"), Strings{"V1.2.3"});
}

TEST_F(VirtualCom, ReportsPortSettings) {
  EXPECT_EQ(qycom("161\r"), Strings{"115200,N,8,1\r"});
  baseInfo.comInfo[2].baud = 9600;
  baseInfo.comInfo[2].parity = 2;
  baseInfo.comInfo[2].databit = 7;
  baseInfo.comInfo[2].stopbit = 2;
  EXPECT_EQ(qycom("162\r"), Strings{"9600,E,7,2\r"});
}

TEST_F(VirtualCom, FormatStoresAndReopensTheLine) {
  open_lines();
  EXPECT_EQ(qycom("0327E2\r"), Strings{"OK\r"});
  EXPECT_EQ(baseInfo.comInfo[2].databit, 7);
  EXPECT_EQ(baseInfo.comInfo[2].parity, 2);
  EXPECT_EQ(baseInfo.comInfo[2].stopbit, 2);
  // A pseudo-terminal keeps the stop bits but forces 8 data bits and no
  // parity, so those are read from what the driver wrote.
  EXPECT_NE(line(master2).c_cflag & CSTOPB, 0u);
  EXPECT_EQ(ComPortData[2].comio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB),
            static_cast<tcflag_t>(CS7 | PARENB | CSTOPB));

  EXPECT_EQ(qycom("0718N1\r"), Strings{"OK\r"});
  EXPECT_EQ(baseInfo.comInfo[1].databit, 8);
  EXPECT_EQ(baseInfo.comInfo[1].parity, 0);
  EXPECT_EQ(baseInfo.comInfo[1].stopbit, 0);
  EXPECT_EQ(line(master1).c_cflag & CSTOPB, 0u);
  EXPECT_EQ(ComPortData[1].comio.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));

  EXPECT_EQ(qycom("0315O2\r"), Strings{"OK\r"});
  EXPECT_NE(line(master1).c_cflag & CSTOPB, 0u);
  EXPECT_EQ(ComPortData[1].comio.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB),
            static_cast<tcflag_t>(CS5 | PARENB | PARODD | CSTOPB));
}

TEST_F(VirtualCom, FormatWithAFaultStoresFallbacksWithoutReopening) {
  open_lines();
  const std::string log = logged("0319N1\r");
  EXPECT_EQ(drain(M_Job4Cmd), Strings{"ERROR\r"});
  EXPECT_EQ(log.find("reopen:"), std::string::npos);
  EXPECT_EQ(baseInfo.comInfo[1].databit, 8);
  EXPECT_EQ(baseInfo.comInfo[1].parity, 0);
  EXPECT_EQ(baseInfo.comInfo[1].stopbit, 0);

  EXPECT_EQ(qycom("0327X3\r"), Strings{"ERROR\r"});  // every field falls back
  EXPECT_EQ(baseInfo.comInfo[2].databit, 7);
  EXPECT_EQ(baseInfo.comInfo[2].parity, 0);
  EXPECT_EQ(baseInfo.comInfo[2].stopbit, 1);
  EXPECT_EQ(qycom("032\r"), Strings{"ERROR\r"});  // short: fallbacks, nothing read beyond it
  EXPECT_EQ(baseInfo.comInfo[2].databit, 8);
  EXPECT_EQ(baseInfo.comInfo[2].stopbit, 1);
  // Not reopened: the stored stop-bit code 1 would have given two stop bits.
  EXPECT_EQ(line(master2).c_cflag & CSTOPB, 0u);

  baseInfo.comInfo[1].databit = 6;
  EXPECT_EQ(qycom("0338N1\r"), Strings{"ERROR\r"});  // no such port: nothing stored
  EXPECT_EQ(baseInfo.comInfo[1].databit, 6);
}

TEST_F(VirtualCom, FormatReportsAFailedReopen) {
  // No device behind port 1: the reopen fails.
  const std::string log = logged("0318E1\r");
  EXPECT_EQ(drain(M_Job4Cmd), Strings{"ERROR\r"});
  EXPECT_NE(log.find("    reopen: baseInfo.comInfo[1]=port 1, br=115200, d=8, p=2, s=0\r\n"
                     "  ReOpenCom fail\r\n"),
            std::string::npos);
  EXPECT_EQ(baseInfo.comInfo[1].parity, 2);  // stays stored
}

TEST_F(VirtualCom, BitRateSetsReopensAndAnswersOkWhateverTheReopenGives) {
  open_lines();
  EXPECT_EQ(qycom("0219600\r"), Strings{"OK\r"});
  EXPECT_EQ(baseInfo.comInfo[1].baud, 9600u);
  EXPECT_EQ(cfgetospeed(&ComPortData[1].comio), static_cast<speed_t>(B9600));
  const termios t = line(master1);
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));

  EXPECT_EQ(qycom("0624800\r"), Strings{"OK\r"});
  EXPECT_EQ(baseInfo.comInfo[2].baud, 4800u);
  EXPECT_EQ(cfgetospeed(&ComPortData[2].comio), static_cast<speed_t>(B4800));

  EXPECT_EQ(qycom("0239600\r"), Strings{"ERROR\r"});
  EXPECT_EQ(qycom("021\r"), Strings{"OK\r"});  // no digits give 0
  EXPECT_EQ(baseInfo.comInfo[1].baud, 0u);
}

TEST_F(VirtualCom, BitRateAnswersOkWhenTheReopenFails) {
  const std::string log = logged("0219600\r");
  EXPECT_EQ(drain(M_Job4Cmd), Strings{"OK\r"});
  EXPECT_EQ(baseInfo.comInfo[1].baud, 9600u);
  EXPECT_NE(log.find("    reopen: baseInfo.comInfo[1]=port 1, br=9600"), std::string::npos);
  EXPECT_EQ(log.find("ReOpenCom fail"), std::string::npos);
}

TEST_F(VirtualCom, LogLines) {
  EXPECT_EQ(logged("00\r01\r"),
            "--> QYCOM_Process: totalLen=6, iCmdCount=2\r\n"
            "---- cmd----\r\n"
            "30 30 0D 30 31 0D \r\n"
            "--------\r\n"
            "- cmd[0,2]=00\r\n"
            "    reply[3]:OK\r\r\n\r\n"
            "- cmd[1,2]=01\r\n"
            "    reply[6]:V1.2.3\r\n\r\n");
  // A long section is dumped byte by byte like a short one.
  const std::string dump = logged(std::string(100, 'A'));
  std::string want;
  for (int i = 0; i < 100; i++) want += "41 ";
  EXPECT_NE(dump.find("---- cmd----\r\n" + want + "\r\n--------\r\n"), std::string::npos);
}

}  // namespace
}  // namespace cmdtest

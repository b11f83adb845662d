// Configuration channel: splitting, the command table in its order, value
// conversions and cuts, the range checks, over-long texts, the save, the
// relink and reboot requests, and the log lines.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands_fixture.h"

namespace cmdtest {
namespace {

using Strings = std::vector<std::string>;
using Configuration = CommandsTest;

TEST_F(Configuration, SplitsLikeTheStandardTokenizer) {
  EXPECT_EQ(vio("@SPORT\r@HEARTBEAT\r"), (Strings{"!SPORT;11000\r\n", "!HEARTBEAT;10\r\n"}));
  EXPECT_EQ(vio("\r\r@SPORT\r\r@ALIAS"), (Strings{"!SPORT;11000\r\n", "!ALIAS;KX-7700\r\n"}));
  EXPECT_EQ(vio("@SPORT\r@ALIAS"), Strings{"!SPORT;11000\r\n"});  // one CR: one command
  EXPECT_EQ(vio("@SPORT"), Strings{});
  EXPECT_EQ(vio("\r\r\r"), Strings{});
  EXPECT_EQ(vio("@SPORT\r\n@ALIAS\r\n"), (Strings{"!SPORT;11000\r\n", "N/A\r\n"}));
  EXPECT_EQ(vio(std::string("@SPORT\r@AL\0IAS\r@FWVER\r", 21)),
            (Strings{"!SPORT;11000\r\n", "N/A\r\n"}));  // a NUL ends the text
  EXPECT_EQ(vio(""), Strings{});
}

TEST_F(Configuration, QueriesWithTheDefaults) {
  modemSignal = 71;
  netInterface = 0;
  const struct {
    const char *cmd, *reply;
  } cases[] = {
      {"@SIP", "!SIP;192.168.10.20\r\n"},     {"@SPORT", "!SPORT;11000\r\n"},
      {"@HEARTBEAT", "!HEARTBEAT;10\r\n"},     {"@VIP", "!VIP;127.0.0.101\r\n"},
      {"@ALIAS", "!ALIAS;KX-7700\r\n"},        {"@FWVER", "!FWVER;V1.01\r\n"},
      {"@FWVERSION?", "!FWVER;V1.01\r\n"},     {"@CSQ", "!CSQ;71;0\r\n"},
      {"@COMDATA1", "!COMDATA1;115200;8;0;1\r\n"}, {"@COMDATA2", "!COMDATA2;115200;8;0;1\r\n"},
      {"@TIMEINTERVAL", "!TIMEINTERVAL;50\r\n"}, {"@UARTDATAMAX", "!UARTDATAMAX;1000\r\n"},
      {"@ISTCP2RTU1", "!ISTCP2RTU1;0\r\n"},    {"@ISTCP2RTU2", "!ISTCP2RTU2;0\r\n"},
      {"@sip", "N/A\r\n"},                     {"SIP", "N/A\r\n"},
      {"@", "N/A\r\n"},                        {"@COMDATA3", "N/A\r\n"},
  };
  for (const auto &c : cases) EXPECT_EQ(vio(std::string(c.cmd) + "\r"), Strings{c.reply}) << c.cmd;
}

TEST_F(Configuration, SetCommandsConvertAndCutValues) {
  EXPECT_EQ(vio("@SPORT=70000\r@SPORT\r"), (Strings{"!SPORT;OK\r\n", "!SPORT;4464\r\n"}));
  EXPECT_EQ(vio("@HEARTBEAT= 30s\r@HEARTBEAT\r"), (Strings{"!HEARTBEAT;OK\r\n", "!HEARTBEAT;30\r\n"}));
  EXPECT_EQ(vio("@HEARTBEAT=x\r"), Strings{"!HEARTBEAT;OK\r\n"});  // no digits give 0
  EXPECT_EQ(baseInfo.usHeartbeatTime, 0);
  EXPECT_EQ(vio("@ISTCP2RTU1=257\r@ISTCP2RTU2=1\r@ISTCP2RTU1\r@ISTCP2RTU2\r"),
            (Strings{"!ISTCP2RTU1;OK\r\n", "!ISTCP2RTU2;OK\r\n", "!ISTCP2RTU1;1\r\n", "!ISTCP2RTU2;1\r\n"}));
  EXPECT_EQ(vio("@SIP=gw.example.net\r@VIP=10.1.2.3\r@ALIAS=Pump 4\r"),
            (Strings{"!SIP;OK\r\n", "!VIP;OK\r\n", "!ALIAS;OK\r\n"}));
  EXPECT_STREQ(baseInfo.ucServerIP, "gw.example.net");
  EXPECT_STREQ(baseInfo.ucVirtualIP, "10.1.2.3");
  EXPECT_STREQ(baseInfo.ucModuleAlias, "Pump 4");
  EXPECT_EQ(vio("@ALIAS=\r@ALIAS\r"), (Strings{"!ALIAS;OK\r\n", "!ALIAS;\r\n"}));
}

TEST_F(Configuration, TimeIntervalAndDataMaxAreJudgedAsSignedValues) {
  const struct {
    const char *value;
    bool ok;
  } intervals[] = {{"0", false},   {"1", true},     {"5000", true}, {"5001", false},
                   {"4294967295", false}, {"-1", false}, {"4294967296", false}, {"250", true}};
  for (const auto &c : intervals) {
    baseInfo.UartTimeInterval[1] = baseInfo.UartTimeInterval[2] = 77;
    const char *want = c.ok ? "!TIMEINTERVAL;OK\r\n" : "!TIMEINTERVAL;ER\r\n";
    EXPECT_EQ(vio(std::string("@TIMEINTERVAL=") + c.value + "\r"), Strings{want}) << c.value;
    const uint32_t stored = c.ok ? StrToU32(c.value) : 77;
    EXPECT_EQ(baseInfo.UartTimeInterval[1], stored) << c.value;
    EXPECT_EQ(baseInfo.UartTimeInterval[2], stored) << c.value;
  }
  const struct {
    const char *value;
    bool ok;
  } maxima[] = {{"9", false}, {"10", true}, {"1000", true}, {"1001", false}, {"4294967295", false}};
  for (const auto &c : maxima) {
    baseInfo.UartDataMax[1] = baseInfo.UartDataMax[2] = 77;
    const char *want = c.ok ? "!UARTDATAMAX;OK\r\n" : "!UARTDATAMAX;ER\r\n";
    EXPECT_EQ(vio(std::string("@UARTDATAMAX=") + c.value + "\r"), Strings{want}) << c.value;
    const uint32_t stored = c.ok ? StrToU32(c.value) : 77;
    EXPECT_EQ(baseInfo.UartDataMax[1], stored) << c.value;
    EXPECT_EQ(baseInfo.UartDataMax[2], stored) << c.value;
  }
  EXPECT_EQ(vio("@UARTDATAMAX=512\r@UARTDATAMAX\r@TIMEINTERVAL=20\r@TIMEINTERVAL\r"),
            (Strings{"!UARTDATAMAX;OK\r\n", "!UARTDATAMAX;512\r\n", "!TIMEINTERVAL;OK\r\n",
                     "!TIMEINTERVAL;20\r\n"}));
}

// Over-long texts are refused whole; the field keeps its value and its NUL.
TEST_F(Configuration, TextsLongerThanTheirFieldsAreRefused) {
  const std::string ip31(31, '9'), ip32(32, '9');
  EXPECT_EQ(vio("@SIP=" + ip31 + "\r"), Strings{"!SIP;OK\r\n"});
  EXPECT_EQ(baseInfo.ucServerIP, ip31);
  EXPECT_EQ(vio("@SIP=" + ip32 + "\r"), Strings{"!SIP;ER\r\n"});
  EXPECT_EQ(baseInfo.ucServerIP, ip31);
  EXPECT_EQ(vio("@VIP=" + ip32 + "\r@VIP\r"), (Strings{"!VIP;ER\r\n", "!VIP;127.0.0.101\r\n"}));
  EXPECT_EQ(vio("@ALIAS=ABCDEFG\r"), Strings{"!ALIAS;OK\r\n"});
  EXPECT_EQ(vio("@ALIAS=ABCDEFGH\r@ALIAS\r"), (Strings{"!ALIAS;ER\r\n", "!ALIAS;ABCDEFG\r\n"}));
  // A reply never outgrows its slot, even with the longest values.
  EXPECT_EQ(vio("@SIP\r"), Strings{"!SIP;" + ip31 + "\r\n"});
}

// A line feed in a text value would split the saved line in two, and the
// second half would be read back at the next start as a key of its own.
TEST_F(Configuration, TextsWithALineFeedAreRefused) {
  snprintf(configFile, sizeof configFile, "%s", "/quarne/qysc/saved.ini");
  EXPECT_EQ(vio("@VIP=1\nServerIP=6.6.6.6\r@ALIAS=a\nb\r@SIP=\n\r@SAVE\r"),
            (Strings{"!VIP;ER\r\n", "!ALIAS;ER\r\n", "!SIP;ER\r\n", "!SAVE;OK\r\n"}));
  EXPECT_STREQ(baseInfo.ucVirtualIP, "127.0.0.101");
  EXPECT_EQ(sb.read_file("/quarne/qysc/saved.ini").find("6.6.6.6"), std::string::npos);
  EXPECT_EQ(ReadConfig(), 0);
  EXPECT_STREQ(baseInfo.ucServerIP, "192.168.10.20");
}

TEST_F(Configuration, SaveWritesTheConfigurationFile) {
  snprintf(configFile, sizeof configFile, "%s", "/quarne/qysc/saved.ini");
  EXPECT_EQ(vio("@SIP=10.0.0.5\r@SPORT=12000\r@TIMEINTERVAL=20\r@ISTCP2RTU1=1\r@SAVE\r@RELINK\r"),
            (Strings{"!SIP;OK\r\n", "!SPORT;OK\r\n", "!TIMEINTERVAL;OK\r\n", "!ISTCP2RTU1;OK\r\n",
                     "!SAVE;OK\r\n", "!RELINK;OK\r\n"}));
  EXPECT_EQ(sb.read_file("/quarne/qysc/saved.ini"),
            "ServerIP=10.0.0.5\r\nServerPort=12000\r\nVirtualIP=127.0.0.101\r\n"
            "ModuleAlias=KX-7700\r\nHeartbeatTime=10\r\nTimeInterval=20\r\n"
            "UartDataMax=1000\r\nDebug=0\r\n");
  EXPECT_EQ(isVIORelink, 1);
  EXPECT_EQ(isVIOReboot, 0);
}

TEST_F(Configuration, SaveThatCannotWriteAnswersError) {
  snprintf(configFile, sizeof configFile, "%s", "/no/such/dir/qyserver.ini");
  EXPECT_EQ(vio("@SPORT=9\r@SAVE\r@SPORT\r"),
            (Strings{"!SPORT;OK\r\n", "!SAVE;ERROR\r\n", "!SPORT;9\r\n"}));
}

TEST_F(Configuration, RelinkAndRebootOnlySetTheirFlags) {
  EXPECT_EQ(vio("@REBOOT\r"), Strings{"!REBOOT;OK\r\n"});
  EXPECT_EQ(isVIOReboot, 1);
  EXPECT_EQ(isVIORelink, 0);
  EXPECT_EQ(vio("@RELINKNOW\r"), Strings{"!RELINK;OK\r\n"});
  EXPECT_EQ(isVIORelink, 1);
  EXPECT_EQ(vio("@FWVER\r"), Strings{"!FWVER;V1.01\r\n"});  // replies still go out
  EXPECT_EQ(isVIOReboot, 1);                                  // never cleared here
}

TEST_F(Configuration, LogLines) {
  testing::internal::CaptureStdout();
  call_vio("@SPORT=70000\r\r@XYZ\r");
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "--> QYIO_Process: totalLen=19, iCmdCount=3\r\n"
            "- QYcmd[12]=@SPORT=70000\r\n"
            "    QYreply[11]:!SPORT;OK\r\n\r\n\r\n"
            "- QYcmd[4]=@XYZ\r\n"
            "    QYreply[5]:N/A\r\n\r\n\r\n");
  EXPECT_EQ(QYIO_IsCom(), 2);
}

}  // namespace
}  // namespace cmdtest

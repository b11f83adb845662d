// Settings record, configuration file (read and atomic save) and modem
// information file, through the daemon's public functions.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "sandbox_dir.h"
#include "settings.h"

using testkit::SandboxDir;

namespace {

constexpr char kConfig[] = "/quarne/qysc/qyserver.ini";
constexpr char kModem[] = "/quarne/modemInfo.txt";

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    Default_BaseInfo();
    SetConfigFile(kConfig);
  }
  // Reads the configuration text; returns what was printed.
  std::string read_config(const std::string &text, int expect = 0) {
    sb.write_file(kConfig, text);
    testing::internal::CaptureStdout();
    EXPECT_EQ(ReadConfig(), expect);
    return testing::internal::GetCapturedStdout();
  }
  SandboxDir sb;
};

TEST_F(Settings, DefaultsWithoutAFile) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReadConfig(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file fail\r\n");
  EXPECT_EQ(strlen(baseInfo.ucServerIP), 13u);
  EXPECT_EQ(strlen(baseInfo.ucVirtualIP), 11u);
  EXPECT_EQ(strncmp(baseInfo.ucVirtualIP, "127.", 4), 0);
  EXPECT_EQ(baseInfo.usServerPort, 11000);
  EXPECT_EQ(baseInfo.usHeartbeatTime, 10);
  EXPECT_STREQ(baseInfo.ucModuleAlias, "KX-7700");
  for (int i = 1; i <= 2; i++) {
    EXPECT_EQ(baseInfo.comInfo[i].port, i);
    EXPECT_EQ(baseInfo.comInfo[i].baud, 115200u);
    EXPECT_EQ(baseInfo.comInfo[i].databit, 8);
    EXPECT_EQ(baseInfo.comInfo[i].parity, 0);
    EXPECT_EQ(baseInfo.comInfo[i].stopbit, 1) << "two stop bits unless configured";
    EXPECT_EQ(baseInfo.UartTimeInterval[i], 50u);
    EXPECT_EQ(baseInfo.UartDataMax[i], 1000u);
  }
  EXPECT_EQ(baseInfo.comInfo[0].port, 0);
  EXPECT_EQ(baseInfo.isTCP2RTU1 | baseInfo.isTCP2RTU2, 0);
  EXPECT_EQ(sizeof(COM_INFO), 8u);
  EXPECT_EQ(sizeof(BASE_INFO), 32 + 6 + 24 + 36 + 3 + 32 + 8 + 4u);
}

TEST_F(Settings, EveryKeyStoredAndLogged) {
  const std::string out = read_config(
      "ServerIP=gw.example.net\r\nServerPort=70000\r\nVirtualIP=10.1.2.3\r\n"
      "ModuleAlias=Pump 7\r\nHeartbeatTime=30\r\nTimeInterval=0\r\nUartDataMax=5000\r\n"
      "Debug=3\nBaudrate1=9600\nBaudrate2=4294967295\nFormat1=8N1\nFormat2=7E2\n"
      "IsTCP2RTU1=257\nIsTCP2RTU2=1\n");
  EXPECT_EQ(out,
            "open file success\r\nServerIP : gw.example.net\r\nServerPort : 4464\r\n"
            "VirtualIP : 10.1.2.3\r\nModuleAlias : Pump 7\r\nHeartbeatTime : 30\r\n"
            "TimeInterval : 0\r\nUartDataMax : 5000\r\nDebug : 3\r\ncom[1].baud = 9600\r\n"
            "com[2].baud = -1\r\ncom[1] format = 8N1\r\ncom[2] format = 7E2\r\n"
            "baseInfo.isTCP2RTU1 = 1\r\nbaseInfo.isTCP2RTU2 = 1\r\n");
  EXPECT_EQ(baseInfo.usServerPort, 4464) << "cut to 16 bits";
  EXPECT_EQ(baseInfo.UartTimeInterval[2], 0u);
  EXPECT_EQ(baseInfo.UartDataMax[2], 5000u) << "not range-checked";
  EXPECT_EQ(baseInfo.comInfo[2].baud, 4294967295u);
  EXPECT_EQ(baseInfo.comInfo[1].stopbit, 0);
  EXPECT_EQ(baseInfo.comInfo[2].databit, 7);
  EXPECT_EQ(baseInfo.comInfo[2].parity, 2);
  EXPECT_EQ(baseInfo.comInfo[2].stopbit, 2);
  EXPECT_EQ(baseInfo.isTCP2RTU1, 1) << "257 cut to 8 bits";
  EXPECT_EQ(baseInfo.usServerTimeDelay, 0);
}

TEST_F(Settings, FormatCharacters) {
  const struct {
    const char *value;
    int data, parity, stop;
  } cases[] = {{"8N1", 8, 0, 0}, {"7E2", 7, 2, 2}, {"8", 8, 0, 1}, {"7O", 7, 1, 1},
               {"9X3", 8, 0, 1}, {"8n1", 8, 0, 0}, {"8E1junk", 8, 2, 0}};
  for (auto c : cases) {
    read_config(std::string("Format1=") + c.value + "\r\n");
    EXPECT_EQ(baseInfo.comInfo[1].databit, c.data) << c.value;
    EXPECT_EQ(baseInfo.comInfo[1].parity, c.parity) << c.value;
    EXPECT_EQ(baseInfo.comInfo[1].stopbit, c.stop) << c.value;
  }
}

TEST_F(Settings, LinesThatAreNoKeysAreIgnored) {
  const std::string out = read_config(
      " ServerIP=1.2.3.4\r\nserverip=1.2.3.4\r\nServerIP =1.2.3.4\r\n# ServerPort=1\r\n"
      "\r\n\n=\r\nServerPort=1\r\nServerPort=2\r\n");
  EXPECT_EQ(strlen(baseInfo.ucServerIP), 13u) << "default kept";
  EXPECT_EQ(baseInfo.usServerPort, 2) << "the last occurrence wins";
  EXPECT_EQ(out, "open file success\r\nServerPort : 1\r\nServerPort : 2\r\n");
}

TEST_F(Settings, EmptyValues) {
  const std::string out = read_config("ServerPort=\r\nModuleAlias=\r\nServerIP=\nHeartbeatTime=x\n");
  EXPECT_EQ(out, "open file success\r\nptmp = NULL\r\nModuleAlias : \r\nHeartbeatTime : 0\r\n");
  EXPECT_EQ(baseInfo.usServerPort, 11000) << "a key without a value keeps its setting";
  EXPECT_STREQ(baseInfo.ucModuleAlias, "");
  EXPECT_EQ(strlen(baseInfo.ucServerIP), 13u);
  EXPECT_EQ(baseInfo.usHeartbeatTime, 0) << "no digits give 0";
}

TEST_F(Settings, OverLongValuesAreCutToTheirFields) {
  const std::string ip(60, '9');
  read_config("ServerIP=" + ip + "\r\nVirtualIP=" + ip + "\r\nModuleAlias=ABCDEFGHIJ\r\n");
  EXPECT_EQ(std::string(baseInfo.ucServerIP), ip.substr(0, 31));
  EXPECT_EQ(std::string(baseInfo.ucVirtualIP), ip.substr(0, 31));
  EXPECT_STREQ(baseInfo.ucModuleAlias, "ABCDEFG");
  EXPECT_EQ(baseInfo.usServerPort, 11000) << "neighbouring fields untouched";
}

TEST_F(Settings, OverLongLinesAreTakenInPieces) {
  // A 99-byte piece ends the first part of the line; the rest is a line of
  // its own, so a key may start exactly at byte 99.
  std::string line = "Debug=7" + std::string(92, ' ') + "ServerPort=1234\r\n";
  std::string huge(100000, 'A');
  const std::string out = read_config(line + huge + "\r\nHeartbeatTime=5\r\n");
  EXPECT_EQ(baseInfo.usDebug, 7);
  EXPECT_EQ(baseInfo.usServerPort, 1234);
  EXPECT_EQ(baseInfo.usHeartbeatTime, 5);
}

TEST_F(Settings, BinaryFileDoesNoHarm) {
  std::string junk;
  for (int i = 0; i < 5000; i++) junk += static_cast<char>((i * 131 + 7) & 0xFF);
  read_config(junk + "\nServerPort=99\n");
  EXPECT_EQ(baseInfo.usServerPort, 99);
}

TEST_F(Settings, NumbersConvertLikeTheBoardsStrtoul) {
  EXPECT_EQ(StrToU32("  42abc"), 42u);
  EXPECT_EQ(StrToU32("+7"), 7u);
  EXPECT_EQ(StrToU32("-1"), 4294967295u);
  EXPECT_EQ(StrToU32("4294967296"), 4294967295u);
  EXPECT_EQ(StrToU32("99999999999999999999"), 4294967295u);
  EXPECT_EQ(StrToU32(""), 0u);
  EXPECT_EQ(StrToU32("x1"), 0u);
}

TEST_F(Settings, SaveWritesExactlyEightLines) {
  read_config("ServerIP=10.0.0.9\r\nServerPort=1502\r\nBaudrate1=9600\r\nFormat1=7E1\r\n"
              "IsTCP2RTU1=1\r\nTimeInterval=80\r\nUartDataMax=512\r\nDebug=2\r\n");
  baseInfo.usServerTimeDelay = 50;
  testing::internal::CaptureStdout();
  EXPECT_EQ(SaveConfig(), 0);
  const std::string lines =
      "ServerIP=10.0.0.9\r\nServerPort=1502\r\nVirtualIP=127.0.0.101\r\nModuleAlias=KX-7700\r\n"
      "HeartbeatTime=10\r\nTimeInterval=80\r\nUartDataMax=512\r\nDebug=2\r\n";
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file success for saving\r\n" + lines);
  EXPECT_EQ(sb.read_file(kConfig), lines);
  EXPECT_EQ(baseInfo.usServerTimeDelay, 0);
  EXPECT_NE(access(sb.board(std::string(kConfig) + ".tmp").c_str(), F_OK), 0) << "no temp left";

  // After a restart the unsaved keys come from the defaults again.
  Default_BaseInfo();
  read_config(sb.read_file(kConfig));
  EXPECT_EQ(baseInfo.usServerPort, 1502);
  EXPECT_EQ(baseInfo.comInfo[1].baud, 115200u);
  EXPECT_EQ(baseInfo.isTCP2RTU1, 0);
}

TEST_F(Settings, FailedSaveLeavesTheOldFile) {
  sb.write_file(kConfig, "ServerPort=1\r\n");
  // The temporary file cannot be created: a directory stands in its way.
  ASSERT_EQ(mkdir(sb.board(std::string(kConfig) + ".tmp").c_str(), 0755), 0);
  testing::internal::CaptureStdout();
  EXPECT_EQ(SaveConfig(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file fail\r\n");
  EXPECT_EQ(sb.read_file(kConfig), "ServerPort=1\r\n");

  SetConfigFile("/quarne/no/such/dir/qyserver.ini");
  testing::internal::CaptureStdout();
  EXPECT_EQ(SaveConfig(), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file fail\r\n");
}

TEST_F(Settings, SaveReplacesTheFileWholeNotInPlace) {
  // A reader holding the old file keeps seeing the old contents whole: the
  // save renames a new file over it instead of truncating it.
  sb.write_file(kConfig, "ServerPort=1\r\n");
  FILE *old = fopen(sb.board(kConfig).c_str(), "r");
  ASSERT_NE(old, nullptr);
  testing::internal::CaptureStdout();
  EXPECT_EQ(SaveConfig(), 0);
  testing::internal::GetCapturedStdout();
  char buf[64] = {};
  EXPECT_EQ(fread(buf, 1, sizeof buf - 1, old), 14u);
  EXPECT_STREQ(buf, "ServerPort=1\r\n");
  fclose(old);
}

TEST_F(Settings, LongConfigPathIsHeldWhole) {
  const std::string path = "/quarne/qysc/a-rather-long-directory-name/and-a-long-file-name.ini";
  ASSERT_GT(path.size(), 25u);
  EXPECT_EQ(SetConfigFile(path.c_str()), 1);
  EXPECT_EQ(std::string(configFile), path);
  sb.write_file(path, "ServerPort=4321\r\n");
  testing::internal::CaptureStdout();
  EXPECT_EQ(ReadConfig(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(baseInfo.usServerPort, 4321);
  const std::string too_long(CONFIG_PATH_MAX, 'x');
  EXPECT_EQ(SetConfigFile(too_long.c_str()), 0);
  EXPECT_EQ(std::string(configFile), path) << "refused path leaves the old one";
}

class ModemInfo : public ::testing::Test {
 protected:
  int read(const std::string &text) {
    sb.write_file(kModem, text);
    return ReadModemInfo();
  }
  SandboxDir sb;
};

TEST_F(ModemInfo, SignalScaleAndRegistration) {
  const struct {
    const char *csq;
    int signal;
  } csq[] = {{"0", 0}, {"1", 3}, {"23", 71}, {"31", 96}, {"32", 100}, {"33", 0}, {"99", 0},
             {"-1", 0}, {"256", 0}, {"288", 100}};
  for (auto c : csq) {
    EXPECT_EQ(read(std::string("csqvalue=") + c.csq + "\r\n"), 0);
    EXPECT_EQ(modemSignal, c.signal) << c.csq;
  }
  const struct {
    const char *creg;
    int value;
  } creg[] = {{"5", 5}, {"1", 1}, {"6", 0}, {"-1", 0}, {"", 0}};
  for (auto c : creg) {
    read(std::string("cregvalue=") + c.creg + "\r\n");
    EXPECT_EQ(modemCREG, c.value) << c.creg;
  }
}

TEST_F(ModemInfo, PppLineDecidesTheInterface) {
  read("cpintype=READY\r\ncregvalue=1\r\ncsqvalue=23\r\nppp0=1\r\n");
  EXPECT_EQ(netInterface, 0);
  EXPECT_EQ(modemSignal, 71);
  EXPECT_EQ(modemCREG, 1);
  read("ppp0=0\r\n");
  EXPECT_EQ(netInterface, 1);
  read("ppp0=1\r\n");
  read("cpintype=\r\n");
  EXPECT_EQ(netInterface, 1) << "no ppp0 line: interface down";
  EXPECT_EQ(modemSignal, 71) << "a missing line keeps the value";
}

TEST_F(ModemInfo, EmptyPartialAndBinaryFiles) {
  read("csqvalue=31\r\ncregvalue=2\r\nppp0=1\r\n");
  EXPECT_EQ(read(""), 0);
  EXPECT_EQ(modemSignal, 96);
  EXPECT_EQ(modemCREG, 2);
  EXPECT_EQ(netInterface, 1);
  EXPECT_EQ(read("cpintype=READY\r\ncsqval"), 0) << "cut in the middle of a write";
  EXPECT_EQ(modemSignal, 96);
  std::string junk;
  for (int i = 0; i < 3000; i++) junk += static_cast<char>((i * 97 + 13) & 0xFF);
  EXPECT_EQ(read(junk + "\ncsqvalue=32"), 0);
  EXPECT_EQ(modemSignal, 100);
  EXPECT_EQ(read(std::string(500, 'c') + "\r\n" + std::string("cpintype=") + std::string(300, 'x')), 0);
}

TEST_F(ModemInfo, MissingFileResetsTheState) {
  read("csqvalue=31\r\ncregvalue=2\r\nppp0=1\r\n");
  unlink(sb.board(kModem).c_str());
  EXPECT_EQ(ReadModemInfo(), -1);
  EXPECT_EQ(modemSignal, 0);
  EXPECT_EQ(modemCREG, 0);
  EXPECT_EQ(netInterface, 1);
}

}  // namespace

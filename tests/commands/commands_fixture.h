// Shared set-up of the command channel and bridge tests: a sandbox, the
// daemon's settings at their defaults, empty reply rings, and helpers that
// feed a section the way the receive step does and drain a ring the way
// the reply packet builder does.
#ifndef TESTS_COMMANDS_FIXTURE_H
#define TESTS_COMMANDS_FIXTURE_H

#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qycom.h"
#include "qyio.h"
#include "sandbox_dir.h"
#include "settings.h"
#include "tcp2rtu.h"
#include "uart.h"

namespace cmdtest {

// Section bytes in a heap block of exactly their size, so the sanitizer
// build catches any read or write beyond the section.
inline std::vector<unsigned char> section(const std::string &text) {
  return std::vector<unsigned char>(text.begin(), text.end());
}

// All pending texts in order, advancing `out` as the reply drain does.
inline std::vector<std::string> drain(Job4Cmd &q) {
  std::vector<std::string> out;
  for (int n = Job4Cmd_Pending(&q); n > 0; n--) {
    out.emplace_back(q.bData[q.out], q.bDataLen[q.out]);
    q.out = (q.out + 1) % JOB4CMD_SLOTS;
  }
  return out;
}

inline void call_qycom(const std::string &text) {
  std::vector<unsigned char> s = section(text);
  QYCOM_Process(s.empty() ? nullptr : s.data(), static_cast<int>(s.size()));
}

inline void call_vio(const std::string &text) {
  std::vector<unsigned char> s = section(text);
  VIO_Process(s.empty() ? nullptr : s.data(), static_cast<int>(s.size()));
}

inline std::vector<std::string> qycom(const std::string &text) {
  call_qycom(text);
  return drain(M_Job4Cmd);
}

inline std::vector<std::string> vio(const std::string &text) {
  call_vio(text);
  return drain(VIO_Reply);
}

class CommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Default_BaseInfo();
    memset(&M_Job4Cmd, 0, sizeof M_Job4Cmd);
    memset(&VIO_Reply, 0, sizeof VIO_Reply);
    iCmdEcho = 0;
    isVIORelink = 0;
    isVIOReboot = 0;
    memset(tcp2rtuHeaderBuffer1, 0, sizeof tcp2rtuHeaderBuffer1);
    memset(tcp2rtuHeaderBuffer2, 0, sizeof tcp2rtuHeaderBuffer2);
    snprintf(configFile, sizeof configFile, "%s", "/quarne/qysc/qyserver.ini");
    modemSignal = 0;
    netInterface = 1;
  }
  void TearDown() override {
    Close_Com(1);
    Close_Com(2);
  }
  testkit::SandboxDir sb;
};

}  // namespace cmdtest

#endif

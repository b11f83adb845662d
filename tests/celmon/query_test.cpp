// The modem queries on a pseudo-terminal standing in for the modem port:
// reply windows, early end on OK, answers split over several reads,
// over-long and stray answers, and the file line each query adds.
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "celmon.h"
#include "sandbox_dir.h"
#include "uart.h"

using namespace celmon;
using testkit::SandboxDir;

namespace {

// One command line from the far end of the line: up to its CR.
std::string read_command(int fd) {
  std::string out;
  for (int waited = 0; waited < 2000 && out.find('\r') == std::string::npos; waited += 10) {
    out += testkit::read_for(fd, 10);
  }
  return out;
}

struct Chunk {
  std::string bytes;
  int delay_ms;  // before these bytes
};

class ModemQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = sb_.add_pty("/dev/ttyUSB2");
    ASSERT_EQ(Open_Com(kModemPort, 115200, 8, 0, 0), COM_OK);
  }
  void TearDown() override {
    if (modem_.joinable()) modem_.join();
    Close_Com(kModemPort);
  }

  // The far end: waits for one command line (up to CR), then answers.
  void answer_with(std::vector<Chunk> chunks) {
    modem_ = std::thread([this, chunks] {
      command_ = read_command(master_);
      for (const Chunk &c : chunks) {
        // The modem's answer time is the behaviour under test (the query window).
        std::this_thread::sleep_for(std::chrono::milliseconds(c.delay_ms));
        ASSERT_EQ(write(master_, c.bytes.data(), c.bytes.size()),
                  static_cast<ssize_t>(c.bytes.size()));
      }
    });
  }

  // Runs one query; returns the milliseconds it took.
  long run(int code) {
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(modem_query(code, kQueryWindowMs, result_, sizeof result_), 0);
    auto t1 = std::chrono::steady_clock::now();
    if (modem_.joinable()) modem_.join();
    return std::chrono::duration_cast<std::chrono::milliseconds>(t1 - t0).count();
  }

  SandboxDir sb_;
  int master_ = -1;
  std::thread modem_;
  std::string command_;
  char result_[kResultSize] = {};
};

TEST_F(ModemQuery, SendsEachCommandEndedByCrAlone) {
  const struct {
    int code;
    const char *command;
  } cases[] = {{QUERY_CPIN, "AT+CPIN?\r"}, {QUERY_CREG, "AT+CREG?\r"}, {QUERY_CSQ, "AT+CSQ\r"}};
  for (auto c : cases) {
    answer_with({{"\r\nOK\r\n", 0}});
    run(c.code);
    EXPECT_EQ(command_, c.command);
  }
}

TEST_F(ModemQuery, AnswerEndsTheWindowEarly) {
  answer_with({{"\r\n+CSQ: 23,99\r\n\r\nOK\r\n", 20}});
  EXPECT_LT(run(QUERY_CSQ), 450);
  EXPECT_STREQ(result_, "csqvalue=23\r\n");
}

TEST_F(ModemQuery, AnswerSplitOverSeveralReads) {
  answer_with({{"\r\n+CR", 10}, {"EG: 0,", 40}, {"5\r\n\r\nO", 40}, {"K\r", 40}, {"\n", 40}});
  EXPECT_LT(run(QUERY_CREG), 480);
  EXPECT_STREQ(result_, "cregvalue=5\r\n");
}

// The clock counts whole milliseconds, so a window may end up to one
// millisecond before 500 ms of real time.
constexpr long kFullWindowMs = kQueryWindowMs - 2;

TEST_F(ModemQuery, SilenceAndErrorKeepTheWholeWindow) {
  EXPECT_GE(run(QUERY_CPIN), kFullWindowMs);
  answer_with({{"\r\nERROR\r\n", 10}});
  EXPECT_GE(run(QUERY_CREG), kFullWindowMs);
  answer_with({{"\r\n+CME ERROR: 10\r\n", 10}});
  EXPECT_GE(run(QUERY_CSQ), kFullWindowMs);
  EXPECT_STREQ(result_, "cpintype=\r\ncregvalue=-1\r\ncsqvalue=-1\r\n");
}

TEST_F(ModemQuery, CmeErrorGivesTheCodeAsSimState) {
  answer_with({{"\r\n+CME ERROR: 10\r\n", 10}});
  run(QUERY_CPIN);
  EXPECT_STREQ(result_, "cpintype=10\r\n");
}

TEST_F(ModemQuery, EchoDoesNotDisturbParsing) {
  answer_with({{"AT+CPIN?\r", 5}, {"\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", 5}});
  run(QUERY_CPIN);
  EXPECT_STREQ(result_, "cpintype=SIM PIN\r\n");
}

// The buffer keeps 99 bytes; the rest is read and dropped, the window still
// ends on the final OK, and the next query sees only its own answer.
TEST_F(ModemQuery, OverLongAnswerIsCutAndDoesNotLeakIntoTheNextQuery) {
  std::string junk(300, 'Z');
  answer_with({{"\r\n+CSQ: 17,99\r\n\r\n" + junk + "\r\n+CREG: 0,5\r\n\r\nOK\r\n", 10}});
  EXPECT_LT(run(QUERY_CSQ), 450);
  answer_with({{"\r\n+CREG: 0,1\r\n\r\nOK\r\n", 10}});
  run(QUERY_CREG);
  EXPECT_STREQ(result_, "csqvalue=17\r\ncregvalue=1\r\n");
}

TEST_F(ModemQuery, AnswerBeyondTheBufferIsNotSeen) {
  answer_with({{std::string(120, 'Z') + "\r\n+CSQ: 17,99\r\n\r\nOK\r\n", 10}});
  run(QUERY_CSQ);
  EXPECT_STREQ(result_, "csqvalue=-1\r\n");
}

// A late answer to an earlier command waits in the queue when a query is
// sent; it is dropped instead of being taken for the new answer.
TEST_F(ModemQuery, StaleInputIsDroppedBeforeTheCommand) {
  const char stale[] = "\r\n+CSQ: 5,99\r\n\r\nOK\r\n";
  ASSERT_EQ(write(master_, stale, strlen(stale)), static_cast<ssize_t>(strlen(stale)));
  ASSERT_TRUE(testkit::poll_until([] { return static_cast<int>(DataSizeInCom(kModemPort)) > 0; }));
  answer_with({{"\r\n+CSQ: 28,99\r\n\r\nOK\r\n", 10}});
  run(QUERY_CSQ);
  EXPECT_STREQ(result_, "csqvalue=28\r\n");
}

TEST_F(ModemQuery, NulsAndNoiseAroundTheAnswer) {
  answer_with({{std::string("\0\0\xff\r\n+CPIN: READY\r\n\0\r\nOK\r\n", 25), 10}});
  run(QUERY_CPIN);
  EXPECT_STREQ(result_, "cpintype=READY\r\n");
}

TEST_F(ModemQuery, PortNotOpenAddsNoLine) {
  Close_Com(kModemPort);
  EXPECT_EQ(modem_query(QUERY_CSQ, kQueryWindowMs, result_, sizeof result_), -1);
  EXPECT_STREQ(result_, "");
}

// The modem vanishes after its first answer (a USB modem pulled out): the
// cycle ends without replacing the last whole file with a partial one.
TEST_F(ModemQuery, ModemGoneMidCycleLeavesTheFile) {
  const std::string held = "cpintype=READY\r\ncregvalue=1\r\ncsqvalue=20\r\nppp0=0\r\n";
  sb_.write_file("/quarne/modemInfo.txt", held);
  answer_with({{"\r\n+CPIN: READY\r\n\r\nOK\r\n", 0}});
  std::thread unplug([this] {
    if (modem_.joinable()) modem_.join();
    int null_fd = open("/dev/null", O_RDWR);  // the sandbox still closes this number
    dup2(null_fd, master_);
    close(null_fd);
  });
  EXPECT_FALSE(poll_cycle(115200, "/quarne/modemInfo.txt"));
  unplug.join();
  EXPECT_EQ(sb_.read_file("/quarne/modemInfo.txt"), held);
}

TEST(Interfaces, FoundByExactName) {
  EXPECT_TRUE(check_interface("lo"));
  EXPECT_FALSE(check_interface("l"));
  EXPECT_FALSE(check_interface("lo0"));
  EXPECT_FALSE(check_interface(""));
}

}  // namespace

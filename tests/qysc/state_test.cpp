// The link and upload state machines a pass at a time, on a fake clock
// whose pauses advance it instead of sleeping: connect, wait and retry,
// init, heartbeat due, verify, relink, reboot, the fourth write failure.
// The server is a loopback listener of the test's own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "my_uart.h"
#include "net.h"
#include "packet.h"
#include "qycom.h"
#include "qyio.h"
#include "quarne.h"
#include "sandbox_dir.h"
#include "settings.h"

using testkit::SandboxDir;

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t g_now = 0;
uint32_t fake_now() { return g_now; }
void fake_pause(uint32_t ms) { g_now += ms; }

class StateMachines : public ::testing::Test {
 protected:
  void SetUp() override {
    sb.make_register_file();
    rs485 = sb.add_pty("/dev/ttyS1");
    rs232 = sb.add_pty("/dev/ttyS2");
    g_now = 100000;
    qy_ticks_install(fake_now);
    daemon_pause_install(fake_pause);
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &len);
    listen(listener, 4);
    Default_BaseInfo();
    snprintf(baseInfo.ucServerIP, sizeof baseInfo.ucServerIP, "127.0.0.1");
    baseInfo.usServerPort = ntohs(a.sin_port);
    isVIORelink = isVIOReboot = 0;
    memset(&M_Job4Cmd, 0, sizeof M_Job4Cmd);
    memset(&VIO_Reply, 0, sizeof VIO_Reply);
    DaemonReset();
    wdt_init();
    Enable_WDT(5000);
  }
  void TearDown() override {
    DaemonReset();
    wdt_exit();
    if (server >= 0) close(server);
    close(listener);
    qy_ticks_install(nullptr);
    daemon_pause_install(nullptr);
  }
  // Runs passes until cond holds (at most max); the passes run.
  template <typename Cond>
  int passes_until(Cond cond, int max = 200) {
    int n = 0;
    while (!cond() && n < max) {
      DaemonPass();
      n++;
    }
    return n;
  }
  // Passes up to the init packet, which the server takes.
  void go_online() {
    passes_until([] { return iGPRSStep == GPRS_ONLINE; });
    server = accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    DaemonPass();
    ASSERT_EQ(iUploadPackageFlag, UPLOAD_NORMAL);
    ASSERT_EQ(take()[3], PACKAGE_TYPE_INIT);
  }
  // What the daemon has sent since, unscrambled.
  Bytes take(int wait_ms = 500) {
    Bytes out;
    uint8_t buf[4096];
    pollfd p = {server, POLLIN, 0};
    while (poll(&p, 1, out.empty() ? wait_ms : 20) > 0) {
      const ssize_t n = read(server, buf, sizeof buf);
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    DecodePacket(out.data(), static_cast<int>(out.size()));
    return out;
  }
  void send(uint16_t port, const std::string &data) {
    uint8_t pkt[PACKET_BUF_SIZE];
    size_t off = wire_put_prefix(pkt, sizeof pkt, PACKAGE_TYPE_DATA, "", 0, 0);
    pkt[off++] = 1;
    off = wire_put_section(pkt, sizeof pkt, off, port,
                           reinterpret_cast<const uint8_t *>(data.data()), data.size());
    wire_finish(pkt, off);
    EncodePacket(pkt, static_cast<int>(off));
    ASSERT_EQ(write(server, pkt, off), static_cast<ssize_t>(off));
  }
  // The first section of a data packet.
  static std::string section(const Bytes &pkt) {
    size_t off = 0;
    const WireSection s = wire_next_section(pkt.data(), &off);
    return std::string(pkt.begin() + static_cast<long>(s.at), pkt.begin() + static_cast<long>(s.at + s.len));
  }
  uint32_t services() const { return sb.read32(testkit::kBoardBase + 0xF004); }

  // Bytes on a line, once the line holds them: a pseudo-terminal passes
  // them on a moment later, and the passes below run on the fake clock.
  static void line_in(int master, int port, const std::string &bytes) {
    const int before = UART_DataSizeInCom(static_cast<unsigned char>(port));
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const int want = before + static_cast<int>(bytes.size());
    ASSERT_TRUE(testkit::poll_until(
        [port, want] { return UART_DataSizeInCom(static_cast<unsigned char>(port)) >= want; }));
  }

  // The ports of the data packets sent from now until n have come.
  std::vector<int> ports_sent(size_t n) {
    std::vector<int> ports;
    for (int pass = 0; pass < 400 && ports.size() < n; pass++) {
      DaemonPass();
      g_now += 1;
      for (const Bytes &pkt : split(take(0))) {
        size_t off = 0;
        ports.push_back(wire_next_section(pkt.data(), &off).port);
      }
    }
    return ports;
  }
  static std::vector<Bytes> split(const Bytes &stream) {
    std::vector<Bytes> out;
    for (size_t off = 0; off + PACKAGE_HEADER_LEN <= stream.size();) {
      const size_t len = wire_get16(stream.data() + off + 1);
      out.emplace_back(stream.begin() + static_cast<long>(off), stream.begin() + static_cast<long>(off + len));
      off += len;
    }
    return out;
  }

  SandboxDir sb;
  int rs485 = -1, rs232 = -1;
  int listener = -1;
  int server = -1;
};

TEST_F(StateMachines, ConnectSleepsASecondThenSendsTheInitPacket) {
  EXPECT_EQ(passes_until([] { return iGPRSStep == GPRS_CONNECT; }), 1);
  const uint32_t before = g_now;
  DaemonPass();
  EXPECT_EQ(iGPRSStep, GPRS_ONLINE);
  EXPECT_EQ(iUploadPackageFlag, UPLOAD_INIT);
  EXPECT_EQ(g_now - before, 1000u) << "the pause after a connect";
  go_online();
  EXPECT_GE(qysc_loop.sockfd, 0);
}

TEST_F(StateMachines, RefusedConnectWaitsMoreThanASecondThenRetries) {
  close(listener);  // nothing listens: refused
  listener = socket(AF_INET, SOCK_STREAM, 0);
  passes_until([] { return iGPRSStep == GPRS_WAIT; });
  const uint32_t failed = g_now;
  passes_until([] { return iGPRSStep == GPRS_CONNECT; });
  EXPECT_GT(g_now - failed, 1000u + 100u) << "the wait, then the pause before the retry";
  EXPECT_LE(g_now - failed, 1000u + 100u + 20u);
  DaemonPass();
  EXPECT_EQ(iGPRSStep, GPRS_WAIT) << "refused again";
}

TEST_F(StateMachines, HeartbeatWhenIdleForItsPeriodVerifyOnChallenge) {
  passes_until([] { return iGPRSStep == GPRS_CONNECT; });
  const uint32_t connected = g_now;
  go_online();
  EXPECT_EQ(ulHeartbeatOldTime, connected) << "timed from the connect, not the init packet";
  g_now = ulHeartbeatOldTime + 10000;
  DaemonPass();
  EXPECT_EQ(iUploadPackageFlag, UPLOAD_NORMAL) << "exactly the period: not yet";
  EXPECT_TRUE(take(50).empty());
  g_now += 1;
  DaemonPass();
  EXPECT_EQ(take().size(), 1428u) << "the burst of 84 heartbeats";
  EXPECT_EQ(iUploadPackageFlag, UPLOAD_NORMAL);

  send(COM_PORT_VERIFY, std::string("\x01\x02", 2));
  passes_until([] { return iUploadPackageFlag == UPLOAD_VERIFY; }, 50);
  DaemonPass();
  const Bytes answer = take();
  ASSERT_EQ(answer.size(), 26u);
  EXPECT_EQ(section(answer), std::string("\x0b\x00\x00\x00", 4));
  EXPECT_EQ(iUploadPackageFlag, UPLOAD_NORMAL);
}

TEST_F(StateMachines, RelinkDropsAfterTheReplyAndConnectsAgain) {
  go_online();
  send(COM_PORT_QYIO, "@RELINK\r");
  passes_until([] { return iGPRSStep != GPRS_ONLINE; }, 50);
  EXPECT_EQ(iGPRSStep, GPRS_IDLE);
  EXPECT_EQ(section(take()), "!RELINK;OK\r\n") << "the reply is out before the drop";
  char c;
  EXPECT_EQ(read(server, &c, 1), 0) << "the old link is closed";
  passes_until([] { return iGPRSStep == GPRS_ONLINE; });
  close(server);
  go_online();
}

TEST_F(StateMachines, RebootStopsTheWatchdogServiceButNotTheLink) {
  go_online();
  send(COM_PORT_QYIO, "@REBOOT\r");
  passes_until([] { return isVIOReboot == 1; }, 50);
  const uint32_t count = services();
  for (int i = 0; i < 5; i++) DaemonPass();
  EXPECT_EQ(section(take()), "!REBOOT;OK\r\n");
  EXPECT_EQ(services(), count) << "no service since";
  EXPECT_EQ(iGPRSStep, GPRS_ONLINE);
}

TEST_F(StateMachines, FourthWriteFailureDropsTheLinkAndReconnects) {
  go_online();
  shutdown(qysc_loop.sockfd, SHUT_WR);  // every write fails from now on
  g_now += 20000;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 3; i++) DaemonPass();
  EXPECT_EQ(iGPRSStep, GPRS_ONLINE);
  EXPECT_EQ(iUploadPackageFlag, UPLOAD_HEARTBEAT) << "a failed heartbeat is tried again";
  DaemonPass();
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("iWriteFailCounter > WriteCounterMax --> close socket, rc=-1\r\n"),
            std::string::npos);
  EXPECT_EQ(iGPRSStep, GPRS_CONNECT);
  EXPECT_EQ(qysc_loop.writeFailures, 0) << "counted afresh";
  close(server);
  go_online();
}

TEST_F(StateMachines, AResetLinkIsDroppedAndConnectedAgainAtOnce) {
  go_online();
  linger lg = {1, 0};
  setsockopt(server, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(server);  // RST, as a link TCP has given up on reads ETIMEDOUT
  server = -1;
  testing::internal::CaptureStdout();
  passes_until([] { return iGPRSStep != GPRS_ONLINE; }, 50);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("recv --> error --> socket be close, re-connect\r\n"),
            std::string::npos);
  EXPECT_EQ(iGPRSStep, GPRS_CONNECT) << "no reconnect wait";
  go_online();
}

TEST_F(StateMachines, NoLineStarvesAndRepliesGetTheirTurn) {
  baseInfo.UartTimeInterval[1] = 1000;  // RS-485 bytes wait long for their gap
  baseInfo.UartTimeInterval[2] = 10;
  go_online();
  line_in(rs485, 1, "A");
  line_in(rs232, 2, "B");
  EXPECT_EQ(ports_sent(1), std::vector<int>{COM_PORT_RS232}) << "a pending RS-485 burst holds nothing";

  // Both lines loaded beyond one packet, and a reply waiting.
  baseInfo.UartTimeInterval[1] = 10;
  baseInfo.UartDataMax[1] = baseInfo.UartDataMax[2] = 10;
  const std::string load(60, 'x');
  line_in(rs485, 1, load);
  line_in(rs232, 2, load);
  send(COM_PORT_QYIO, "@FWVER\r");
  std::vector<int> ports = ports_sent(8);
  ports.resize(8);
  const std::vector<int> want = {COM_PORT_RS485, COM_PORT_RS232, COM_PORT_QYIO, COM_PORT_RS485,
                                 COM_PORT_RS232, COM_PORT_RS485, COM_PORT_RS232, COM_PORT_RS485};
  EXPECT_EQ(ports, want) << "in turn, RS-485 first; the reply within a few packets";
}

}  // namespace

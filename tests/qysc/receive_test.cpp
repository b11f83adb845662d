// Packets from the server: header checks, section dispatch to the lines,
// the verify challenge, and packets whose sections would run past the bytes
// received. Packets are handed over in buffers of exactly their size, so
// the sanitizer build catches any read past them.
#include <string.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "packet.h"
#include "sandbox_dir.h"
#include "scramble.h"
#include "settings.h"
#include "my_uart.h"

using testkit::SandboxDir;

namespace {

using Bytes = std::vector<uint8_t>;

struct Section {
  uint16_t port;
  std::string data;
};

// Plain server packet; the overrides make malformed ones.
Bytes build(const std::vector<Section> &sections, const std::string &ip = "",
            int ver = 2, int type = 1, int len_delta = 0, int count = -1) {
  std::string p;
  p += static_cast<char>(ver);
  p += std::string(2, '\0');
  p += static_cast<char>(type);
  p += static_cast<char>(ip.size());
  p += ip;
  p += '\0';
  p += static_cast<char>(count < 0 ? sections.size() : static_cast<size_t>(count));
  for (const Section &s : sections) {
    const size_t n = s.data.size();
    const char head[4] = {static_cast<char>(s.port), static_cast<char>(s.port >> 8),
                          static_cast<char>(n), static_cast<char>(n >> 8)};
    p.append(head, 4);
    p += s.data;
  }
  const int len = static_cast<int>(p.size()) + len_delta;
  p[1] = static_cast<char>(len);
  p[2] = static_cast<char>(len >> 8);
  return Bytes(p.begin(), p.end());
}

uint32_t g_now = 0;
uint32_t fake_now() { return g_now; }

class Receive : public ::testing::Test {
 protected:
  void SetUp() override {
    qy_ticks_install(fake_now);
    receive_reset();
    Default_BaseInfo();
    rs485 = sb.add_pty("/dev/ttyS1");
    rs232 = sb.add_pty("/dev/ttyS2");
    ASSERT_EQ(ReOpenCom(1), 0);
    ASSERT_EQ(ReOpenCom(2), 0);
    iUploadPackageFlag = UPLOAD_NORMAL;
  }
  void TearDown() override {
    UART_Close(1);
    UART_Close(2);
    qy_ticks_install(nullptr);
  }
  // Scrambles the plain packet (all of it, or its first n bytes as one read)
  // and hands it over in a heap buffer of exactly that size; returns the log.
  std::string deliver(const Bytes &plain, size_t n = SIZE_MAX) {
    if (n > plain.size()) n = plain.size();
    Bytes buf(plain.begin(), plain.begin() + static_cast<long>(n));  // allocated to size
    EncodePacket(buf.data(), static_cast<int>(n));
    testing::internal::CaptureStdout();
    HandleServerPacket(buf.data(), static_cast<int>(n));
    return testing::internal::GetCapturedStdout();
  }
  SandboxDir sb;
  int rs485 = -1, rs232 = -1;
};

TEST_F(Receive, SectionsReachTheirLines) {
  const std::string log = deliver(build({{1, "abc"}, {2, "xyz"}, {99, "zz"}, {1, "d"}}));
  EXPECT_EQ(log,
            "--> socket receive: length=32\r\n  COM 1, DataLen=3\r\n  COM 2, DataLen=3\r\n"
            "  COM 99, DataLen=2\r\n  COM 1, DataLen=1\r\n");
  EXPECT_EQ(testkit::read_for(rs485, 500, 4), "abcd");
  EXPECT_EQ(testkit::read_for(rs232, 500, 3), "xyz");
}

TEST_F(Receive, HeaderChecksDropThePacketSilently) {
  // A length one more than the read waits for a byte that never comes
  // within 2 s; one less is a packet cut short, its section running past
  // it, followed by a byte that is no packet.
  const Bytes bad[] = {
      build({{1, "L+"}}, "", 2, 1, +1),       build({{1, "L-"}}, "", 2, 1, -1),
      build({{1, "V3"}}, "", 3),              build({{1, "T3"}}, "", 2, 3),
      build({{1, "IP"}}, std::string(16, '1')),
  };
  for (const Bytes &p : bad) {
    const std::string log = deliver(p);
    const std::string read = "--> socket receive: length=" + std::to_string(p.size()) + "\r\n";
    if (p[4] == 0 && p[p.size() - 1] == '-') {
      EXPECT_EQ(log, read + "-- packet ignored: its sections run past the " +
                         std::to_string(p.size() - 1) + " bytes received\r\n");
    } else {
      EXPECT_EQ(log, read);
    }
    g_now += 2001;  // whatever was begun is given up
  }
  EXPECT_EQ(testkit::read_for(rs485, 200), "");
  deliver(build({{1, "ok"}}, std::string(15, '1'), 2, 2));
  EXPECT_EQ(testkit::read_for(rs485, 500, 2), "ok") << "15 IP bytes and type 2 pass";
}

// The daemon's framing policy (every cut of a stream is the framer's
// tests): joined packets each handled, a split one completed within 2 s and
// not later.
TEST_F(Receive, PacketsSplitOrJoinedByTheReadsAreEachHandledOnce) {
  Bytes four;
  for (const char *d : {"A", "B", "C", "D"}) {
    const Bytes p = build({{1, d}});
    four.insert(four.end(), p.begin(), p.end());
  }
  deliver(four);
  EXPECT_EQ(testkit::read_for(rs485, 500, 4), "ABCD");
  const Bytes p = build({{1, "xyz"}, {2, "uv"}});
  deliver(Bytes(p.begin(), p.begin() + 3));
  g_now += 1999;
  deliver(Bytes(p.begin() + 3, p.end()));
  EXPECT_EQ(testkit::read_for(rs485, 500, 3), "xyz");
  EXPECT_EQ(testkit::read_for(rs232, 500, 2), "uv");
  deliver(Bytes(p.begin(), p.begin() + 9));
  g_now += 2001;
  deliver(Bytes(p.begin() + 9, p.end()));  // too late: the rest is no packet
  deliver(build({{1, "ok"}}));
  EXPECT_EQ(testkit::read_for(rs485, 300), "ok");
}

TEST_F(Receive, VerifyChallenge) {
  const struct {
    uint8_t x, y;
    int32_t answer;
  } cases[] = {{1, 2, 11}, {0, 0, -11}, {255, 255, 520189}, {2, 1, 2}};
  for (auto c : cases) {
    iUploadPackageFlag = UPLOAD_INIT;
    const std::string log = deliver(build({{258, std::string{static_cast<char>(c.x), static_cast<char>(c.y)}}}));
    EXPECT_EQ(lVerifyData, c.answer);
    EXPECT_EQ(iUploadPackageFlag, UPLOAD_VERIFY) << "replaces the pending state";
    EXPECT_NE(log.find("  bLoData=" + std::to_string(c.x) + ", bHiData=" + std::to_string(c.y) +
                       ", lVerifyData=" + std::to_string(c.answer) + "\r\n"),
              std::string::npos)
        << log;
  }
}

TEST_F(Receive, NothingIsReadPastTheBytesReceived) {
  Bytes ends_before_count = build({}, "1.2.3.4");
  ends_before_count.pop_back();
  ends_before_count[1] = static_cast<uint8_t>(ends_before_count.size());
  Bytes head_cut = build({{1, "A"}, {1, "BB"}});
  head_cut.resize(head_cut.size() - 4);
  head_cut[1] = static_cast<uint8_t>(head_cut.size());
  Bytes data_cut = build({{1, "A"}, {1, "BBBB"}});
  data_cut.pop_back();
  data_cut[1] = static_cast<uint8_t>(data_cut.size());
  const Bytes cases[] = {ends_before_count, head_cut, data_cut,
                         build({{1, "A"}, {2, "B"}}, "", 2, 1, 0, 3),
                         build({{1, "A"}, {258, "x"}})};
  for (const Bytes &p : cases) {
    iUploadPackageFlag = UPLOAD_NORMAL;
    const std::string log = deliver(p);
    EXPECT_EQ(log, "--> socket receive: length=" + std::to_string(p.size()) +
                       "\r\n-- packet ignored: its sections run past the " +
                       std::to_string(p.size()) + " bytes received\r\n");
    EXPECT_EQ(iUploadPackageFlag, UPLOAD_NORMAL);
  }
  EXPECT_EQ(testkit::read_for(rs485, 200), "") << "no section of a faulty packet acts";
  EXPECT_EQ(testkit::read_for(rs232, 50), "");
  deliver(build({{1, "A"}}, "", 2, 1, 0, 0));
  EXPECT_EQ(testkit::read_for(rs485, 100), "") << "count 0: no section";
}

TEST_F(Receive, RandomBytesAndSectionsNeverCrash) {
  const unsigned seed = testkit::fuzz_seed("random packets");
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 rng(seed);
  baseInfo.comInfo[1].port = baseInfo.comInfo[2].port = 9;  // no device: sends go nowhere
  for (int i = 0; i < 3000; i++) {
    const size_t n = rng() % 80;
    Bytes p(n);
    for (auto &b : p) b = static_cast<uint8_t>(rng());
    if (n >= 5 && (i & 1) != 0) {  // mostly valid headers, to reach the sections
      p[0] = 2;
      p[1] = static_cast<uint8_t>(n);
      p[2] = 0;
      p[3] = p[3] % 3;
      p[4] = p[4] % 16;
      if (p.size() > 7u + p[4]) p[6 + p[4]] %= 4;
    }
    deliver(p);
  }
}

}  // namespace

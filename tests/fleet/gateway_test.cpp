// A simulated gateway against the daemon itself: its packets byte for byte
// as the daemon's builders lay them out, and its answers (verify, the Modbus
// slave behind the bridge, the command channels); the timer wheel's edges;
// how the load generator judges answers.
#include <string.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "daemon.h"
#include "gwlink.h"
#include "mbload.h"
#include "packet.h"
#include "settings.h"
#include "wheel.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace fleet;

Bytes daemon_packet() { return Bytes(ucSendData, ucSendData + usSendDataLen); }

Bytes bytes(const uint8_t *p, size_t n) { return Bytes(p, p + n); }

Bytes text(const std::string &s) { return Bytes(s.begin(), s.end()); }

// The daemon set up as gateway `who`.
void daemon_as(const Identity &who) {
  Default_BaseInfo();
  snprintf(baseInfo.ucVirtualIP, sizeof baseInfo.ucVirtualIP, "%s", who.id);
  memset(baseInfo.ucModuleAlias, 0, sizeof baseInfo.ucModuleAlias);
  memcpy(baseInfo.ucModuleAlias, who.alias, strnlen(who.alias, sizeof baseInfo.ucModuleAlias));
  baseInfo.usHeartbeatTime = who.heartbeat_s;
  modemSignal = who.signal;
  netInterface = who.net;
}

WireSection section(uint16_t port, const Bytes &data) {
  return {port, static_cast<uint16_t>(data.size()), data.data(), 0};
}

TEST(FleetGateway, PacketsAreTheDaemons) {
  const struct {
    const char *id, *alias;
    uint8_t signal;
    uint16_t heartbeat;
  } cases[] = {{"127.0.0.101", "KX-7700", 71, 10}, {"10.255.255.254", "SIM12345", 0, 65535},
               {"10.0.0.1", "", 100, 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.id);
    Identity who;
    ASSERT_TRUE(identity_init(who, c.id, c.alias, c.signal, c.heartbeat));
    daemon_as(who);
    uint8_t buf[PACKET_BUF_SIZE];

    makeInitPack(ucSendData);
    EXPECT_EQ(bytes(buf, build_init(who, buf)), daemon_packet());

    makeHearbeatPack(ucSendData);
    makeHeartbeatBurst(ucSendData, usSendDataLen);
    EXPECT_EQ(bytes(buf, build_heartbeat_burst(who, buf)), daemon_packet());

    // Verify answers, the extremes of the arithmetic included.
    for (const Bytes &xy : {Bytes{1, 2}, Bytes{0, 0}, Bytes{255, 255}}) {
      Slave slave;
      uint8_t out[PACKET_BUF_SIZE];
      const Reply r = answer_section(who, slave, Behaviour(), section(COM_PORT_VERIFY, xy), out, sizeof out);
      ASSERT_EQ(r.kind, Answer::kVerify);
      lVerifyData = wire_verify_answer(xy[0], xy[1]);
      makeVerifyPack(ucSendData);
      EXPECT_EQ(bytes(buf, build_data(who, r.port, out, r.len, buf)), daemon_packet());
    }
  }
  Identity who;
  EXPECT_FALSE(identity_init(who, "10.100.100.10000", "A", 0, 1)) << "16 characters";
  EXPECT_FALSE(identity_init(who, "10.0.0.1", "ALIAS6789", 0, 1)) << "alias over 8";
}

TEST(FleetGateway, SerialBurstsAreCheckable) {
  Identity who;
  identity_init(who, "10.0.0.1", "A", 23, 10);
  uint8_t data[PACKET_BUF_SIZE], pkt[PACKET_BUF_SIZE];
  ASSERT_EQ(burst_payload(who.id, 2, 27, 24, data, sizeof data), 24u);
  EXPECT_EQ(bytes(data, 24), text("#10.0.0.1/2/27/24:bcdefg"));
  EXPECT_EQ(burst_payload(who.id, 2, 27, 17, data, sizeof data), 0u) << "shorter than its head";
  // The largest burst fills the packet exactly; one byte more does not fit.
  const size_t cap = data_capacity(who);
  ASSERT_EQ(burst_payload(who.id, 1, 4000000000u, cap, data, sizeof data), cap);
  EXPECT_EQ(build_data(who, 1, data, cap, pkt), size_t{PACKET_BUF_SIZE});
  EXPECT_EQ(build_data(who, 1, data, cap + 1, pkt), 0u);
}

class FleetBridge : public ::testing::Test {
 protected:
  void SetUp() override {
    identity_init(who, "10.0.0.7", "A", 71, 10);
    slave_init(slave, 3, 1);
  }
  // The answer section to a Modbus TCP request of unit 1 with transaction 0x1234.
  Bytes ask(const Bytes &pdu, uint8_t unit = 1, Answer want = Answer::kModbus) {
    Bytes req = {0x12, 0x34, 0, 0, 0, static_cast<uint8_t>(pdu.size() + 1), unit};
    req.insert(req.end(), pdu.begin(), pdu.end());
    uint8_t out[PACKET_BUF_SIZE];
    const Reply r = answer_section(who, slave, Behaviour(), section(COM_PORT_RS485, req), out, sizeof out);
    EXPECT_EQ(r.kind, want);
    return bytes(out, r.len);
  }
  Identity who;
  Slave slave;
};

TEST_F(FleetBridge, ReadsWritesAndExceptions) {
  // Gateway 3's pattern: 0x0300 + address.
  EXPECT_EQ(ask({3, 0, 0, 0, 2}), (Bytes{0x12, 0x34, 0, 0, 0, 7, 1, 3, 4, 0x03, 0x00, 0x03, 0x01}));
  EXPECT_EQ(ask({6, 0, 5, 0xBE, 0xEF}), (Bytes{0x12, 0x34, 0, 0, 0, 6, 1, 6, 0, 5, 0xBE, 0xEF}));
  EXPECT_EQ(ask({0x10, 0, 126, 0, 2, 4, 0, 1, 0, 2}), (Bytes{0x12, 0x34, 0, 0, 0, 6, 1, 0x10, 0, 126, 0, 2}));
  EXPECT_EQ(ask({4, 0, 5, 0, 1}), (Bytes{0x12, 0x34, 0, 0, 0, 5, 1, 4, 2, 0xBE, 0xEF})) << "0x04 reads the same table";
  EXPECT_EQ(ask({3, 0, 126, 0, 2}), (Bytes{0x12, 0x34, 0, 0, 0, 7, 1, 3, 4, 0, 1, 0, 2}));

  const Answer exc = Answer::kModbusException;
  EXPECT_EQ(ask({3, 0, 127, 0, 2}, 1, exc), (Bytes{0x12, 0x34, 0, 0, 0, 3, 1, 0x83, 2})) << "past register 127";
  EXPECT_EQ(ask({6, 0, 128, 0, 1}, 1, exc), (Bytes{0x12, 0x34, 0, 0, 0, 3, 1, 0x86, 2}));
  EXPECT_EQ(ask({3, 0, 0, 0, 126}, 1, exc), (Bytes{0x12, 0x34, 0, 0, 0, 3, 1, 0x83, 3})) << "count over 125";
  EXPECT_EQ(ask({0x10, 0, 0, 0, 2, 3, 0, 1, 0}, 1, exc), (Bytes{0x12, 0x34, 0, 0, 0, 3, 1, 0x90, 3}))
      << "byte count not twice the count";
  EXPECT_EQ(ask({0x2B, 0x0E, 1, 0}, 1, exc), (Bytes{0x12, 0x34, 0, 0, 0, 3, 1, 0xAB, 1}));
  EXPECT_EQ(slave.regs[126], 1);

  // Another unit, or a request without a function code: the line stays silent.
  EXPECT_EQ(ask({3, 0, 0, 0, 1}, 2, Answer::kModbusIgnored), Bytes());
  EXPECT_EQ(ask({}, 1, Answer::kModbusIgnored), Bytes());
}

TEST_F(FleetBridge, CommandChannelsAndPort2) {
  uint8_t out[PACKET_BUF_SIZE];
  auto run = [&](uint16_t port, const std::string &cmds, Reply *r, Behaviour how = Behaviour()) {
    const Bytes in = text(cmds);
    *r = answer_section(who, slave, how, section(port, in), out, sizeof out);
    return std::string(reinterpret_cast<char *>(out), r->len);
  };
  Reply r;
  EXPECT_EQ(run(COM_PORT_QYCOM, "00\r01\r99\r16\r163\r161\rno CR", &r), "OK\rV1.2.3N/A\rERROR\rERROR\r115200,N,8,1\r");
  EXPECT_EQ(r.kind, Answer::kCommand);
  EXPECT_EQ(run(COM_PORT_QYIO, "@CSQ\r@VIP\r@ALIAS=P7\r@HEARTBEAT\r@csq\r", &r),
            "!CSQ;71;0\r\n!VIP;10.0.0.7\r\n!ALIAS;OK\r\n!HEARTBEAT;10\r\nN/A\r\n");
  EXPECT_FALSE(r.relink || r.reboot);
  EXPECT_EQ(run(COM_PORT_QYIO, "@SIP=h\r@RELINK\r", &r), "!SIP;OK\r\n!RELINK;OK\r\n");
  EXPECT_TRUE(r.relink);
  EXPECT_EQ(run(COM_PORT_QYIO, "@REBOOT\r", &r), "!REBOOT;OK\r\n");
  EXPECT_TRUE(r.reboot);
  EXPECT_EQ(run(COM_PORT_QYIO, "@CSQ", &r), "");
  EXPECT_EQ(r.kind, Answer::kNone) << "no CR, no command";

  Behaviour echo;
  echo.port2 = Port2Mode::kEcho;
  EXPECT_EQ(run(COM_PORT_RS232, "raw\x01", &r, echo), "raw\x01");
  EXPECT_EQ(r.kind, Answer::kEcho);
  EXPECT_EQ(run(COM_PORT_RS232, "raw", &r), "");
  EXPECT_EQ(r.kind, Answer::kRecorded);
}

std::vector<uint32_t> fired;
void record(void *, uint32_t i) { fired.push_back(i); }

TEST(FleetWheel, FiresOnTimeAcrossTheSpanAndTheWrap) {
  Wheel w;
  const uint32_t t0 = 0xFFFFF000u;  // the tick wraps during the run
  ASSERT_TRUE(wheel_init(w, 4, t0));
  wheel_set(w, 0, t0 + 5);
  wheel_set(w, 1, t0 + Wheel::kSlots + 5);  // same slot, one turn later
  wheel_set(w, 2, t0 + 3 * Wheel::kSlots);
  wheel_set(w, 3, t0 - 100);  // already past: the next tick
  fired.clear();
  wheel_expire(w, t0 + 1, record, nullptr);
  EXPECT_EQ(fired, std::vector<uint32_t>({3}));
  EXPECT_EQ(wheel_idle_ms(w, t0 + 1, 100), 4u);
  fired.clear();
  wheel_expire(w, t0 + 5, record, nullptr);
  EXPECT_EQ(fired, std::vector<uint32_t>({0}));
  wheel_cancel(w, 2);
  fired.clear();
  for (uint32_t k = 0; k < 70; k++) wheel_expire(w, t0 + 6 + k * 997, record, nullptr);  // 4 turns
  EXPECT_EQ(fired, std::vector<uint32_t>({1}));
  EXPECT_EQ(w.armed, 0u);
  wheel_free(w);
}

}  // namespace

namespace {

// The load generator takes an answer only when it is whole, its own and the
// shape its request asks for; anything else would hide a misframed stream.
TEST(FleetLoad, JudgesAnswersAndQuantiles) {
  using namespace mbload;
  const Request r = {1, 3, 0, 2};
  uint8_t req[16];
  ASSERT_EQ(build_request(r, 0x0102, req), 12u);
  EXPECT_EQ(bytes(req, 12), (Bytes{1, 2, 0, 0, 0, 6, 1, 3, 0, 0, 0, 2}));

  const Bytes ok = {1, 2, 0, 0, 0, 7, 1, 3, 4, 0, 1, 0, 2, 9};  // and a byte of the next
  size_t used = 0;
  EXPECT_EQ(check_response(r, 0x0102, ok.data(), 5, &used), Check::kNeedMore);
  EXPECT_EQ(check_response(r, 0x0102, ok.data(), 12, &used), Check::kNeedMore);
  EXPECT_EQ(check_response(r, 0x0102, ok.data(), ok.size(), &used), Check::kAnswer);
  EXPECT_EQ(used, 13u);
  const Bytes exc = {1, 2, 0, 0, 0, 3, 1, 0x83, 2};
  EXPECT_EQ(check_response(r, 0x0102, exc.data(), exc.size(), &used), Check::kException);
  for (const Bytes &bad : {Bytes{1, 3, 0, 0, 0, 7, 1, 3, 4, 0, 1, 0, 2},    // another transaction
                           Bytes{1, 2, 0, 0, 0, 5, 1, 3, 2, 0, 1},          // one register, not two
                           Bytes{1, 2, 0, 0, 0, 7, 2, 3, 4, 0, 1, 0, 2},    // another unit
                           Bytes{1, 2, 0, 1, 0, 7, 1, 3, 4, 0, 1, 0, 2}}) {  // protocol 1
    EXPECT_EQ(check_response(r, 0x0102, bad.data(), bad.size(), &used), Check::kBad);
  }

  static Histogram h;
  for (uint64_t us = 1; us <= 1000; us++) hist_add(h, us);
  hist_add(h, 500000);  // past the last bin
  EXPECT_EQ(hist_quantile(h, 0.5), 505.0) << "upper edge of the 5 us bin of the 501st time";
  EXPECT_EQ(hist_quantile(h, 0.99), 995.0);
  EXPECT_EQ(hist_quantile(h, 1.0), 500000.0);
}

}  // namespace

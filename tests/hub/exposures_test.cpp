// Exposures: the Modbus rules (one request in flight per port, a bounded
// queue, 0x0B / 0x0A / 0x06, answers matched to the request), raw bytes
// both ways, and an RFC 2217 port's settings carried out on the gateway's
// virtual COM channel, across a gateway that goes and comes back; the
// role a Modbus/TCP Security client's certificate carries and what it lets
// through.
#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/x509.h>

#include "gateways/exp_com.h"
#include "gateways/exposures.h"
#include "gateways/linefmt.h"
#include "gateways/mbroles.h"
#include "gateways/session.h"
#include "hubkit.h"
#include "qylink.h"
#include "rfc2217.h"

using namespace hubtest;

namespace {

Bytes request(uint16_t tid, uint16_t addr = 0) {
  return Bytes{uint8_t(tid >> 8), uint8_t(tid), 0, 0, 0, 6, 1, 3, uint8_t(addr >> 8), uint8_t(addr), 0, 1};
}

Bytes answer(uint16_t tid, uint16_t value) {
  return Bytes{uint8_t(tid >> 8), uint8_t(tid), 0, 0, 0, 5, 1, 3, 2, uint8_t(value >> 8), uint8_t(value)};
}

// Exception code of each response in a client's output, in order (0: a normal response).
std::vector<int> codes(const hub::ExpClient &c) {
  std::vector<int> out;
  for (size_t off = 0; off + 6 <= c.out.size(); off += 6 + (c.out[off + 4] << 8 | c.out[off + 5])) {
    out.push_back(c.out[off + 7] & 0x80 ? c.out[off + 8] : 0);
  }
  return out;
}

struct ExposureTest : HubTest {
  hub::Exposure *add(unsigned port, hub::ExpKind kind) {
    hub::ExposureConf c;
    c.gateway = "10.0.0.7";
    c.port = port;
    c.kind = kind;
    std::string why;
    return hub::exp_add(*h, c, false, &why);
  }
  void ask(hub::ExpClient &c, const Bytes &adu) {
    hub::exp_client_input(*h, c, adu.data(), adu.size());
    pass();
  }
};

TEST(Modbus, OneInFlightABoundedQueueAndEveryException) {
  ExposureTest t;
  hub::Exposure *e = t.add(1, hub::ExpKind::kModbus);
  hub::ExpClient &c = *hub::exp_client_open(*t.h, *e, -1, "scada");
  t.ask(c, request(1));
  EXPECT_EQ(codes(c), std::vector<int>{0x0A});  // no gateway yet

  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  t.ask(c, request(2));
  t.ask(c, request(3));
  EXPECT_EQ(g.received(), (std::vector<Section>{{1, request(2)}}));  // the second waits
  for (unsigned i = 0; i < t.h->cfg.modbus_queue; i++) t.ask(c, request(100 + i));
  EXPECT_EQ(codes(c), (std::vector<int>{0x0A, 0x06}));  // one too many

  t.feed(g, data_packet("10.0.0.7", {{1, answer(99, 7)}}));  // not its transaction: ignored
  t.feed(g, data_packet("10.0.0.7", {{1, answer(2, 42)}}));
  EXPECT_EQ(codes(c), (std::vector<int>{0x0A, 0x06, 0}));
  EXPECT_EQ(c.out.back(), 42);
  EXPECT_EQ(g.received(), (std::vector<Section>{{1, request(3)}}));  // next one out

  t.advance(t.h->cfg.modbus_timeout_ms);
  EXPECT_EQ(codes(c).back(), 0x0B);
  EXPECT_EQ(t.rec("10.0.0.7").c.modbus_timeouts, 1u);
  EXPECT_EQ(g.received(), (std::vector<Section>{{1, request(100)}}));

  hub::gw_end(*t.h, *g.s, "gone");  // in flight: 0x0B; waiting: 0x0A
  std::vector<int> got = codes(c);
  EXPECT_EQ(got[4], 0x0B);
  EXPECT_EQ(std::count(got.begin() + 5, got.end(), 0x0A), static_cast<long>(t.h->cfg.modbus_queue - 2));

  Gw again = t.connect();
  t.online(again, "10.0.0.7");
  t.ask(c, request(5));
  t.feed(again, data_packet("10.0.0.7", {{1, answer(5, 43)}}));
  EXPECT_EQ(codes(c).back(), 0);
  EXPECT_EQ(c.out.back(), 43);
}

TEST(Modbus, ABroadcastWriteIsAnsweredAtOnceAndAReplyFromAnotherUnitIsNotTheAnswer) {
  ExposureTest t;
  hub::Exposure *e = t.add(1, hub::ExpKind::kModbus);
  hub::ExpClient &c = *hub::exp_client_open(*t.h, *e, -1, "scada");
  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  const Bytes write0{0, 7, 0, 0, 0, 6, 0, 6, 0, 5, 0x12, 0x34};
  t.ask(c, write0);
  EXPECT_EQ(c.out, write0) << "its normal response, at once";
  t.ask(c, request(8));
  EXPECT_EQ(g.received(), (std::vector<Section>{{1, write0}})) << "sent once; the next waits the turnaround";
  t.advance(100);
  EXPECT_EQ(g.received(), (std::vector<Section>{{1, request(8)}}));

  Bytes other = answer(8, 5);
  other[6] = 2;  // unit 2 answers a request for unit 1
  t.feed(g, data_packet("10.0.0.7", {{1, other}}));
  t.ask(c, Bytes{0, 9, 0, 0, 0, 6, 0, 3, 0, 0, 0, 1});  // a broadcast read
  EXPECT_EQ(codes(c), (std::vector<int>{0, 0x0B, 0x01}));
  EXPECT_TRUE(g.received().empty()) << "the read never reaches the line";
  EXPECT_EQ(t.h->m.modbus_mismatched, 1u);
  EXPECT_EQ(t.h->m.modbus_broadcasts, 1u);
  EXPECT_EQ(t.h->m.modbus_broadcasts_refused, 1u);
}

TEST(Raw, BytesBothWaysAndAClientThatDoesNotReadIsDropped) {
  ExposureTest t;
  hub::Exposure *e = t.add(2, hub::ExpKind::kRaw);
  hub::ExpClient &a = *hub::exp_client_open(*t.h, *e, -1, "a");
  hub::ExpClient &b = *hub::exp_client_open(*t.h, *e, -1, "b");
  hub::exp_client_input(*t.h, a, bytes("lost").data(), 4);
  EXPECT_EQ(t.h->m.raw_dropped, 4u);
  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  Bytes big(2000, 'x');
  hub::exp_client_input(*t.h, a, big.data(), big.size());
  t.pass();
  std::vector<Section> got = g.received();
  ASSERT_EQ(got.size(), 2u);  // cut to what one packet carries
  EXPECT_EQ(got[0].second.size() + got[1].second.size(), 2000u);
  t.feed(g, data_packet("10.0.0.7", {{2, bytes("reply")}}));
  EXPECT_EQ(a.out, bytes("reply"));
  EXPECT_EQ(b.out, bytes("reply"));
  EXPECT_TRUE(t.broker.on("trm/10.0.0.7/port2/rx").size() == 1);  // the broker hears it too
  Bytes chunk(1400, 'y');
  for (int i = 0; i < 50; i++) t.feed(g, data_packet("10.0.0.7", {{2, chunk}}));
  EXPECT_TRUE(a.closed);  // nobody reads them: dropped at a bounded backlog
  EXPECT_EQ(t.h->m.raw_clients_dropped, 2u);
  EXPECT_TRUE(e->clients.empty());
}

// An RFC 2217 command as a client sends it (no 0xFF in these values).
Bytes com(uint8_t command, const Bytes &value) {
  Bytes b = value;
  b.insert(b.begin(), {rfc2217::kIac, rfc2217::kSb, rfc2217::kOptComPort, command});
  b.push_back(rfc2217::kIac);
  b.push_back(rfc2217::kSe);
  return b;
}

Bytes settings(uint32_t baud, uint8_t data, uint8_t parity, uint8_t stop) {
  Bytes b = com(rfc2217::kSetBaudrate, {uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8), uint8_t(baud)});
  for (const Bytes &x : {com(rfc2217::kSetDatasize, {data}), com(rfc2217::kSetParity, {parity}),
                         com(rfc2217::kSetStopsize, {stop})}) {
    b.insert(b.end(), x.begin(), x.end());
  }
  return b;
}

Bytes answers(uint32_t baud, uint8_t data, uint8_t parity, uint8_t stop) {
  Bytes b = settings(baud, data, parity, stop);
  for (size_t i = 0; i + 3 < b.size(); i++) {
    if (b[i] == rfc2217::kIac && b[i + 1] == rfc2217::kSb) b[i + 3] += rfc2217::kServer;
  }
  return b;
}

bool ends_with(const Bytes &b, const Bytes &tail) {
  return b.size() >= tail.size() && std::equal(tail.begin(), tail.end(), b.end() - static_cast<long>(tail.size()));
}

TEST(LineFormat, CommandsForWhatTheLineRunsAndItsReport) {
  hub::Format line{115200, 8, 1, 2};
  EXPECT_EQ(hub::linefmt_commands(2, 15, {9600, 7, 3, 1}, line), "25E\r0229600\r0327E1\r162\r");
  EXPECT_EQ(hub::linefmt_commands(1, 15, {115200, 8, 1, 2}, line), hub::linefmt_query(1)) << "nothing to change";
  EXPECT_EQ(hub::linefmt_commands(1, 15, {7200, 8, 4, 3}, line), hub::linefmt_query(1))
      << "7200, mark parity and 1.5 stop bits the line does not run";
  EXPECT_EQ(hub::linefmt_commands(1, rfc2217::kParity, {0, 0, 2, 0}, line), "25E\r0318O2\r161\r");
  hub::Format f;
  ASSERT_TRUE(hub::linefmt_read({"E=0", "OK", "OK", "9600,E,7,0"}, &f));
  EXPECT_EQ((std::vector<unsigned>{f.baud, f.datasize, f.parity, f.stopsize}), (std::vector<unsigned>{9600, 7, 3, 1}));
  ASSERT_TRUE(hub::linefmt_read({"25E=1", "167200,M,8,1"}, &f)) << "with the gateway's echo on";
  EXPECT_EQ((std::vector<unsigned>{f.baud, f.datasize, f.parity, f.stopsize}), (std::vector<unsigned>{4800, 8, 1, 2}));
  EXPECT_FALSE(hub::linefmt_read({"E=0", "ERROR"}, &f));
}

TEST(ComPort, SettingsCarriedOutAnsweredWithTheLinesAndCarrierFollowsTheGateway) {
  ExposureTest t;
  hub::Exposure *e = t.add(2, hub::ExpKind::kRfc2217);
  Gw g = t.connect();
  t.online(g, "10.0.0.7");
  hub::ExpClient &c = *hub::exp_client_open(*t.h, *e, -1, "pc");
  EXPECT_EQ(hub::exp_client_open(*t.h, *e, -1, "another"), nullptr) << "one client at a time";
  t.ask(c, {rfc2217::kIac, rfc2217::kWill, rfc2217::kOptComPort});
  EXPECT_TRUE(ends_with(c.out, com(rfc2217::kServer + rfc2217::kNotifyModemstate, {0xB0}))) << "carrier: online";
  EXPECT_EQ(g.received(), (std::vector<Section>{{COM_PORT_QYCOM, bytes("25E\r162\r")}})) << "the line asked";
  t.ask(c, settings(9600, 7, 3, 1));  // waits for the report
  t.feed(g, data_packet("10.0.0.7", {{COM_PORT_QYCOM, bytes("E=0\r115200,N,8,1\r")}}));
  t.advance(hub::kComGatherMs);  // the four settings go together
  EXPECT_EQ(g.received(), (std::vector<Section>{{COM_PORT_QYCOM, bytes("25E\r0229600\r0327E1\r162\r")}}));
  c.out.clear();
  t.feed(g, data_packet("10.0.0.7", {{COM_PORT_QYCOM, bytes("E=0\rOK\rOK\r9600,E,7,0\r")}}));
  EXPECT_EQ(c.out, answers(9600, 7, 3, 1));

  // Bytes both ways, 0xFF doubled on the client's side only.
  c.out.clear();
  t.ask(c, {'a', 0xFF, 0xFF, 'b'});
  EXPECT_EQ(g.received(), (std::vector<Section>{{2, Bytes{'a', 0xFF, 'b'}}}));
  t.feed(g, data_packet("10.0.0.7", {{2, Bytes{0xFF, 'z'}}}));
  EXPECT_EQ(c.out, (Bytes{0xFF, 0xFF, 'z'}));

  // A rate the line does not run, and a gateway that does not answer in
  // time: the line's settings.
  c.out.clear();
  t.ask(c, settings(7200, 7, 3, 1));
  t.advance(hub::kComGatherMs);
  EXPECT_EQ(c.out, answers(9600, 7, 3, 1));
  EXPECT_TRUE(g.received().empty());
  c.out.clear();
  t.ask(c, settings(57600, 8, 1, 1));
  t.advance(hub::kComGatherMs);
  EXPECT_EQ(g.received(), (std::vector<Section>{{COM_PORT_QYCOM, bytes("25E\r02257600\r0328N1\r162\r")}}));
  t.advance(hub::kComAnswerMs - hub::kComGatherMs);
  EXPECT_EQ(c.out, answers(9600, 7, 3, 1));
  c.out.clear();
  t.feed(g, data_packet("10.0.0.7", {{COM_PORT_QYCOM, bytes("E=0\rOK\rOK\r57600,N,8,0\r")}}));
  EXPECT_EQ(c.out, answers(57600, 8, 1, 1)) << "the late report is told too";

  c.out.clear();
  hub::gw_end(*t.h, *g.s, "gone");
  EXPECT_EQ(c.out, com(rfc2217::kServer + rfc2217::kNotifyModemstate, {0x38})) << "carrier drops";
  c.out.clear();
  t.ask(c, settings(9600, 8, 1, 1));
  EXPECT_EQ(c.out, answers(57600, 8, 1, 1)) << "offline: what the line was known to run";
  Gw again = t.connect();
  t.online(again, "10.0.0.7");
  t.pass();
  EXPECT_TRUE(ends_with(c.out, com(rfc2217::kServer + rfc2217::kNotifyModemstate, {0xB8})));
  EXPECT_EQ(again.received(), (std::vector<Section>{{COM_PORT_QYCOM, bytes("25E\r162\r")}}));
}

}  // namespace

namespace {

// A certificate with the role extension's bytes as given (each a whole
// DER value: a UTF8String, or something else), unsigned: only its
// extensions are read.
X509 *cert_with(const std::vector<Bytes> &roles) {
  X509 *x = X509_new();
  for (const Bytes &der : roles) {
    ASN1_OBJECT *oid = OBJ_txt2obj(hub::kRoleOid, 1);
    ASN1_OCTET_STRING *v = ASN1_OCTET_STRING_new();
    ASN1_OCTET_STRING_set(v, der.data(), static_cast<int>(der.size()));
    X509_EXTENSION *ext = X509_EXTENSION_create_by_OBJ(nullptr, oid, 0, v);
    X509_add_ext(x, ext, -1);
    X509_EXTENSION_free(ext);
    ASN1_OCTET_STRING_free(v);
    ASN1_OBJECT_free(oid);
  }
  return x;
}

TEST(ModbusRoles, TheCertificatesRoleAndWhatEachRoleMaySend) {
  const struct {
    std::vector<Bytes> ext;
    hub::RoleRead want;
    std::string role;
  } certs[] = {
      {{{0x0C, 6, 'v', 'i', 'e', 'w', 'e', 'r'}}, hub::RoleRead::kFound, "viewer"},
      {{}, hub::RoleRead::kNone, ""},
      {{{0x13, 6, 'v', 'i', 'e', 'w', 'e', 'r'}}, hub::RoleRead::kBad, ""},  // a PrintableString
      {{{0x0C, 0}}, hub::RoleRead::kBad, ""},
      {{{0x0C, 2, 'o', 'p', 0}}, hub::RoleRead::kBad, ""},  // a byte after the string
      {{{0x0C, 2, 'o', 'p'}, {0x0C, 2, 'o', 'p'}}, hub::RoleRead::kBad, ""},  // two roles
  };
  for (const auto &c : certs) {
    X509 *x = cert_with(c.ext);
    std::string role;
    EXPECT_EQ(hub::mb_cert_role(x, &role), c.want) << c.role;
    EXPECT_EQ(role, c.role);
    X509_free(x);
  }
  const std::vector<hub::MbRole> roles = {{"viewer", hub::MbPerm::kRead}, {"operator", hub::MbPerm::kOperate}};
  EXPECT_EQ(hub::mb_find_role(roles, "operator")->perm, hub::MbPerm::kOperate);
  EXPECT_EQ(hub::mb_find_role(roles, "Viewer"), nullptr);

  const struct {
    Bytes pdu;  // unit id and PDU
    bool read_only;
  } requests[] = {
      {{1, 0x03, 0, 0, 0, 1}, true},      {{1, 0x04, 0, 0, 0, 1}, true},  {{1, 0x01, 0, 0, 0, 8}, true},
      {{1, 0x2B, 0x0E, 1, 0}, true},      {{1, 0x2B, 0x0D, 0}, false},    {{1, 0x06, 0, 5, 0, 1}, false},
      {{1, 0x10, 0, 0, 0, 1, 2, 0, 1}, false}, {{1, 0x17, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 1}, false},
      {{1, 0x08, 0, 1, 0, 0}, false},     {{0, 0x05, 0, 1, 0xFF, 0}, false},
  };
  for (const auto &r : requests) {
    Bytes adu{0, 1, 0, 0, 0, uint8_t(r.pdu.size())};
    adu.insert(adu.end(), r.pdu.begin(), r.pdu.end());
    EXPECT_EQ(hub::mb_allowed(hub::MbPerm::kRead, adu.data(), adu.size()), r.read_only) << int(r.pdu[1]);
    EXPECT_TRUE(hub::mb_allowed(hub::MbPerm::kOperate, adu.data(), adu.size()));
  }
}

}  // namespace

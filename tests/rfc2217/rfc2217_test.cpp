// The RFC 2217 engine: negotiation as pyserial's client opens a port (and
// no answer to what is already so), 0xFF both ways, the settings a client
// asks for and the answers with the line's, what the engine answers itself,
// the modem state with its mask, and input it must drop whole.
#include <gtest/gtest.h>

#include <vector>

#include "rfc2217.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace rfc2217;

Bytes sub(uint8_t command, Bytes value) {
  Bytes b{kIac, kSb, kOptComPort, command};
  for (uint8_t v : value) {
    b.push_back(v);
    if (v == kIac) b.push_back(kIac);
  }
  b.insert(b.end(), {kIac, kSe});
  return b;
}

struct Peer {
  Engine e;
  Io io;
  Peer() {
    start(e, "TRM-310 10.0.0.7 port2", io);
    modem_state(e, kCarrier | kDsr | kCts, io);
  }
  // Feeds bytes (one at a time when split: the parser must not care) and
  // takes what went to the client and to the line.
  Bytes send(const Bytes &b, bool split = false) {
    io = Io{};
    if (split) {
      for (uint8_t c : b) input(e, &c, 1, io);
    } else {
      input(e, b.data(), b.size(), io);
    }
    return io.client;
  }
};

TEST(Telnet, NegotiationAsAClientOpensAPortAndNoLoops) {
  Peer p;
  EXPECT_EQ(p.io.client, (Bytes{kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptSga, kIac, kDo,
                                kOptSga, kIac, kWill, kOptComPort, kIac, kDo, kOptComPort}))
      << "the opening offers; no modem state before the client agrees to COM-PORT-OPTION";
  // pyserial: DO ECHO, WILL SGA, DO SGA, WILL COM-PORT, DO COM-PORT; our
  // offers crossed, so the agreements need no answer, ECHO is refused.
  Bytes got = p.send({kIac, kDo, kOptEcho, kIac, kWill, kOptSga, kIac, kDo, kOptSga, kIac, kWill, kOptComPort, kIac,
                      kDo, kOptComPort},
                     true);
  EXPECT_EQ(got, (Bytes{kIac, kWont, kOptEcho, kIac, kSb, kOptComPort, kServer + kNotifyModemstate, 0xB0, kIac, kSe}));
  EXPECT_TRUE(p.e.com_port);
  EXPECT_TRUE(p.send({kIac, kWill, kOptBinary, kIac, kDo, kOptBinary, kIac, kWill, kOptComPort}).empty())
      << "agreements to what is already agreed get no answer";
  EXPECT_EQ(p.send({kIac, kWont, kOptBinary, kIac, kWont, kOptBinary}), (Bytes{kIac, kDont, kOptBinary}));
  EXPECT_EQ(p.send({kIac, kWill, 24, kIac, kDo, 31, kIac, 0xF6 /* AYT */, kIac, kDont, 24}),
            (Bytes{kIac, kDont, 24, kIac, kWont, 31}));
}

TEST(Telnet, DataBothWaysWith0xFFAndCommandsAmongIt) {
  Peer p;
  p.send({'a', kIac, kIac, 'b', kIac, 0xF1 /* NOP */, 'c', kIac, kIac}, true);
  EXPECT_EQ(p.io.line, (Bytes{'a', 0xFF, 'b', 'c', 0xFF}));
  Io out;
  const Bytes line{0x00, 0xFF, 0x0D, 0xFF, 0xFF};
  to_client(line.data(), line.size(), out);
  EXPECT_EQ(out.client, (Bytes{0x00, 0xFF, 0xFF, 0x0D, 0xFF, 0xFF, 0xFF, 0xFF})) << "CR is never stuffed: binary";
}

TEST(ComPort, SettingsAskedAndAnsweredWithTheLines) {
  Peer p;
  p.send({kIac, kWill, kOptComPort});
  Bytes in = sub(kSetBaudrate, {0x00, 0x00, 0x25, 0x80});
  for (const Bytes &b : {sub(kSetDatasize, {7}), sub(kSetParity, {3}), sub(kSetStopsize, {1})}) {
    in.insert(in.end(), b.begin(), b.end());
  }
  EXPECT_TRUE(p.send(in, true).empty()) << "the owner answers settings";
  EXPECT_EQ(p.e.asked, kBaud | kDatasize | kParity | kStopsize);
  EXPECT_EQ(p.e.want.baud, 9600u);
  EXPECT_EQ((std::vector<int>{p.e.want.datasize, p.e.want.parity, p.e.want.stopsize}), (std::vector<int>{7, 3, 1}));
  Format line;
  line.baud = 0x0001FF00;  // 0xFF in a value is doubled
  line.datasize = 8;
  line.parity = 1;
  line.stopsize = 1;
  Io io;
  answer(kBaud | kParity, line, io);
  Bytes want = sub(kServer + kSetBaudrate, {0x00, 0x01, 0xFF, 0x00});
  Bytes parity = sub(kServer + kSetParity, {1});
  want.insert(want.end(), parity.begin(), parity.end());
  EXPECT_EQ(io.client, want);
  EXPECT_EQ(p.send(sub(kSetBaudrate, {0, 0})), Bytes{}) << "too short: dropped";
  EXPECT_EQ(p.e.want.baud, 9600u);
}

TEST(ComPort, WhatTheEngineAnswersItself) {
  Peer p;
  // A client that speaks the option without having said it will (pyserial
  // when this side's offer crossed its request) has agreed all the same.
  Bytes signature = sub(kServer + kNotifyModemstate, {0xB0});
  Bytes text = sub(kServer + kSignature, Bytes{'T', 'R', 'M', '-', '3', '1', '0', ' ', '1', '0', '.',
                                               '0', '.', '0', '.', '7', ' ', 'p', 'o', 'r', 't', '2'});
  signature.insert(signature.end(), text.begin(), text.end());
  EXPECT_EQ(p.send(sub(kSignature, {})), signature);
  EXPECT_TRUE(p.send(sub(kSignature, {'p', 'c'})).empty()) << "the client's own signature";
  const struct {
    uint8_t asked, answered;
  } control[] = {{0, 1}, {1, 1}, {3, 1}, {5, 6}, {7, 8}, {8, 8}, {9, 8}, {11, 11}, {12, 11}, {15, 14}, {18, 14}};
  for (const auto &c : control) EXPECT_EQ(p.send(sub(kSetControl, {c.asked})), sub(kServer + kSetControl, {c.answered}));
  EXPECT_TRUE(p.send(sub(kSetControl, {20})).empty());
  EXPECT_EQ(p.send(sub(kPurgeData, {3})), sub(kServer + kPurgeData, {3}));
  EXPECT_EQ(p.e.purged, kPurgeBoth);
  EXPECT_TRUE(p.send(sub(kPurgeData, {4})).empty());
  EXPECT_EQ(p.send(sub(kNotifyLinestate, {})), sub(kServer + kNotifyLinestate, {0}));
  EXPECT_EQ(p.send(sub(kSetLinestateMask, {0xFF})), sub(kServer + kSetLinestateMask, {0xFF}));
}

TEST(ComPort, CarrierWithItsMaskAndInputDroppedWhole) {
  Peer p;
  p.send({kIac, kWill, kOptComPort});
  Io io;
  modem_state(p.e, kDsr | kCts, io);  // the gateway went offline
  EXPECT_EQ(io.client, sub(kServer + kNotifyModemstate, {kDsr | kCts | kCarrierDelta}));
  EXPECT_EQ(p.send(sub(kSetModemstateMask, {kCts})), sub(kServer + kSetModemstateMask, {kCts}));
  io = Io{};
  modem_state(p.e, kCarrier | kDsr | kCts, io);
  EXPECT_TRUE(io.client.empty()) << "the mask hides the carrier";
  EXPECT_EQ(p.send(sub(kNotifyModemstate, {})), sub(kServer + kNotifyModemstate, {kCts})) << "a poll";

  Bytes big{kIac, kSb, kOptComPort, kSignature};
  big.insert(big.end(), kSbMax, 'x');
  big.insert(big.end(), {kIac, kSe, 'z'});
  EXPECT_TRUE(p.send(big).empty()) << "an overlong subnegotiation";
  EXPECT_EQ(p.io.line, Bytes{'z'});
  EXPECT_TRUE(p.send({kIac, kSb, kOptComPort, kSignature, kIac, 'q', 'y'}).empty()) << "IAC q inside: dropped";
  EXPECT_EQ(p.io.line, Bytes{'y'});
  EXPECT_TRUE(p.send(sub(kPurgeData + 1, {1})).empty()) << "no such command";
  EXPECT_TRUE(p.send({kIac, kSb, 24, 1, kIac, kSe}).empty()) << "another option's subnegotiation";
}

}  // namespace

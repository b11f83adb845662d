// Modbus bridge on both lines: requests become RTU frames on the line,
// RTU responses become Modbus TCP responses with the saved header; short,
// long and corrupted frames are refused or dropped.
#include <poll.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "commands_fixture.h"
#include "crc16.h"
#include "my_uart.h"

namespace cmdtest {
namespace {

using Bytes = std::vector<unsigned char>;

const Bytes kRequest = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
const Bytes kResponse = {0x01, 0x03, 0x02, 0x00, 0x2A, 0x39, 0x9B};

class Bridge : public CommandsTest {
 protected:
  void SetUp() override {
    CommandsTest::SetUp();
    master[1] = sb.add_pty("/dev/ttyS1");
    master[2] = sb.add_pty("/dev/ttyS2");
    ASSERT_EQ(Open_Com(1, 115200, 8, 0, 0), COM_OK);
    ASSERT_EQ(Open_Com(2, 115200, 8, 0, 0), COM_OK);
  }
  // What reached the line of a slot (stops early at `want` bytes).
  Bytes on_line(int slot, int ms, size_t want = SIZE_MAX) {
    const std::string s = testkit::read_for(master[slot], ms, want);
    return Bytes(s.begin(), s.end());
  }
  int request(int slot, const Bytes &section) {
    Bytes copy = section;  // exactly its size: the sanitizer sees any overrun
    return TCP2RTU_Request(slot, copy.empty() ? nullptr : copy.data(), static_cast<int>(copy.size()));
  }
  // Writes bytes as the device would and waits until the port has them all.
  void device_sends(int slot, const Bytes &bytes) {
    ASSERT_EQ(write(master[slot], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    const unsigned char port = baseInfo.comInfo[slot].port;
    for (int waited = 0; waited < 3000; waited += 5) {
      if (UART_DataSizeInCom(port) >= static_cast<int>(bytes.size())) return;
      poll(nullptr, 0, 5);
    }
    FAIL() << "the port never saw the device's bytes";
  }
  // RTU2TCP_Response into a buffer of exactly n + 4 bytes; empty when dropped.
  Bytes response(int slot, int n) {
    Bytes out(static_cast<size_t>(n + 4));
    const int len = RTU2TCP_Response(slot, out.data(), n);
    if (len < 0) return {};
    EXPECT_EQ(len, n + 4);
    return out;
  }
  static Bytes with_crc(Bytes frame) {
    const int crc = getCRC16(frame.data(), 0, static_cast<int>(frame.size()));
    frame.push_back(static_cast<unsigned char>(crc & 0xFF));
    frame.push_back(static_cast<unsigned char>(crc >> 8));
    return frame;
  }
  int master[3] = {-1, -1, -1};
};

TEST_F(Bridge, RequestBecomesAnRtuFrameOnEitherLine) {
  for (int slot : {1, 2}) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(request(slot, kRequest), 0);
    EXPECT_EQ(on_line(slot, 2000, 8), (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
    const unsigned char *saved = slot == 1 ? tcp2rtuHeaderBuffer1 : tcp2rtuHeaderBuffer2;
    EXPECT_EQ(Bytes(saved, saved + 6), (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x06}));
  }
  // Each request overwrites only its own port's header.
  EXPECT_EQ(request(2, {0x12, 0x34, 0x00, 0x00, 0x00, 0x02, 0x07, 0x11}), 0);
  EXPECT_EQ(on_line(2, 2000, 4), with_crc({0x07, 0x11}));
  EXPECT_EQ(Bytes(tcp2rtuHeaderBuffer1, tcp2rtuHeaderBuffer1 + 2), (Bytes{0x00, 0x01}));
  EXPECT_EQ(Bytes(tcp2rtuHeaderBuffer2, tcp2rtuHeaderBuffer2 + 2), (Bytes{0x12, 0x34}));
}

TEST_F(Bridge, MbapLengthAndProtocolAreNotChecked) {
  EXPECT_EQ(request(1, {0xAB, 0xCD, 0x55, 0x55, 0x99, 0x99, 0x11, 0x04, 0x00, 0x01}), 0);
  EXPECT_EQ(on_line(1, 2000, 6), with_crc({0x11, 0x04, 0x00, 0x01}));
}

TEST_F(Bridge, RequestsOfAWrongSizeAreRefusedAndNothingGoesToTheLine) {
  EXPECT_EQ(request(1, kRequest), 0);
  on_line(1, 2000, 8);
  testing::internal::CaptureStdout();
  EXPECT_LT(request(1, {0x00, 0x09, 0x00, 0x00, 0x00}), 0);
  EXPECT_LT(request(1, Bytes(1023, 0x5A)), 0);
  EXPECT_LT(request(1, {}), 0);
  EXPECT_LT(request(3, kRequest), 0);
  EXPECT_LT(request(0, kRequest), 0);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("  Modbus TCP request refused: len=5\r\n"), std::string::npos);
  EXPECT_NE(log.find("  Modbus TCP request refused: len=1023\r\n"), std::string::npos);
  EXPECT_EQ(on_line(1, 200), Bytes{});
  EXPECT_EQ(on_line(2, 50), Bytes{});
  EXPECT_EQ(tcp2rtuHeaderBuffer1[1], 0x01);  // the header of the last good request stays

  // The largest that fits: 1022 bytes put 1016 plus the CRC on the line.
  Bytes big(1022, 0x00);
  for (size_t i = 6; i < big.size(); i++) big[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(request(1, big), 0);
  const Bytes line = on_line(1, 3000, 1018);
  EXPECT_EQ(line, with_crc(Bytes(big.begin() + 6, big.end())));
  // Six bytes: no unit id, just the CRC of nothing.
  EXPECT_EQ(request(1, {0, 1, 0, 0, 0, 0}), 0);
  EXPECT_EQ(on_line(1, 2000, 2), (Bytes{0xFF, 0xFF}));
}

TEST_F(Bridge, RequestOnAClosedPortIsReportedAsNotSent) {
  Close_Com(2);
  EXPECT_LT(request(2, kRequest), 0);
}

TEST_F(Bridge, ResponseBecomesModbusTcpWithTheSavedHeaderOnEitherLine) {
  for (int slot : {1, 2}) {
    SCOPED_TRACE(slot);
    EXPECT_EQ(request(slot, kRequest), 0);
    on_line(slot, 2000, 8);
    device_sends(slot, kResponse);
    EXPECT_EQ(response(slot, 7), (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A}));
    EXPECT_EQ(UART_DataSizeInCom(baseInfo.comInfo[slot].port), 0);
  }
}

TEST_F(Bridge, ResponseBeforeAnyRequestCarriesZeroIds) {
  device_sends(2, kResponse);
  EXPECT_EQ(response(2, 7), (Bytes{0, 0, 0, 0, 0x00, 0x05, 0x01, 0x03, 0x02, 0x00, 0x2A}));
}

TEST_F(Bridge, TakesExactlyTheBurstLengthAndLeavesTheRest) {
  const Bytes two = with_crc({0x01, 0x06, 0x00, 0x01, 0x00, 0x03});
  Bytes both = kResponse;
  both.insert(both.end(), two.begin(), two.end());
  device_sends(1, both);
  EXPECT_EQ(response(1, 7).size(), 11u);
  EXPECT_EQ(UART_DataSizeInCom(baseInfo.comInfo[1].port), 8);
  const Bytes second = response(1, 8);
  ASSERT_EQ(second.size(), 12u);
  EXPECT_EQ(second[5], 6);  // MBAP length: unit id and PDU
  EXPECT_EQ(Bytes(second.begin() + 6, second.end()), (Bytes{0x01, 0x06, 0x00, 0x01, 0x00, 0x03}));
}

TEST_F(Bridge, LongestResponseKeepsItsLength) {
  Bytes frame = {0x01, 0x03, 250};
  for (int i = 0; i < 250; i++) frame.push_back(static_cast<unsigned char>(i));
  frame = with_crc(frame);  // 255 bytes
  device_sends(1, frame);
  const Bytes out = response(1, 255);
  ASSERT_EQ(out.size(), 259u);
  EXPECT_EQ(out[4], 0x00);
  EXPECT_EQ(out[5], 253);
  EXPECT_EQ(Bytes(out.begin() + 6, out.end()), Bytes(frame.begin(), frame.end() - 2));
}

// A frame damaged on the line must not reach the master as a good response.
TEST_F(Bridge, CorruptedResponseIsTakenFromThePortAndDropped) {
  EXPECT_EQ(request(1, kRequest), 0);
  Bytes bad = kResponse;
  bad[4] ^= 0x10;  // one bit of a register value flipped
  device_sends(1, bad);
  testing::internal::CaptureStdout();
  EXPECT_EQ(response(1, 7), Bytes{});
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(log, "  RTU response dropped: CRC 9B39, expected 5738, len=7\r\n");
  EXPECT_EQ(UART_DataSizeInCom(baseInfo.comInfo[1].port), 0);

  // Cut in two by the idle gap: neither half passes.
  device_sends(1, Bytes(kResponse.begin(), kResponse.begin() + 4));
  EXPECT_EQ(response(1, 4), Bytes{});
  device_sends(1, Bytes(kResponse.begin() + 4, kResponse.end()));
  EXPECT_EQ(response(1, 3), Bytes{});
  // The next good one goes out as usual.
  device_sends(1, kResponse);
  EXPECT_EQ(response(1, 7).size(), 11u);
}

TEST_F(Bridge, ResponsesTooShortOrNotDeliveredAreDropped) {
  device_sends(2, {0x01});
  testing::internal::CaptureStdout();
  EXPECT_EQ(response(2, 1), Bytes{});
  EXPECT_EQ(UART_DataSizeInCom(baseInfo.comInfo[2].port), 0);
  // The queue held fewer bytes than the burst length: incomplete.
  device_sends(2, {0x01, 0x03});
  EXPECT_EQ(response(2, 7), Bytes{});
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("  RTU response dropped: len=1, read 1\r\n"), std::string::npos);
  EXPECT_NE(log.find("  RTU response dropped: len=7, read 2\r\n"), std::string::npos);
  unsigned char out[8];
  EXPECT_EQ(RTU2TCP_Response(3, out, 4), -1);
  EXPECT_EQ(RTU2TCP_Response(1, out, 0), -1);
}

TEST_F(Bridge, OverlongBurstIsDrainedFromThePortAndDropped) {
  const Bytes flood(1500, 0x42);
  device_sends(1, flood);
  Bytes out(1504);
  EXPECT_EQ(RTU2TCP_Response(1, out.data(), 1500), -1);
  EXPECT_EQ(UART_DataSizeInCom(baseInfo.comInfo[1].port), 0);
}

}  // namespace
}  // namespace cmdtest

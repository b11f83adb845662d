// CRC-16/MODBUS: the check value, the bridge's worked example and the
// table against the bit-by-bit definition.
#include <gtest/gtest.h>

#include "crc16.h"

namespace {

int bitwise_crc(const unsigned char *p, int len) {
  int crc = 0xFFFF;
  for (int i = 0; i < len; i++) {
    crc ^= p[i];
    for (int k = 0; k < 8; k++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  return crc;
}

TEST(Crc16, CheckValueAndModbusExample) {
  unsigned char digits[] = "123456789";
  EXPECT_EQ(getCRC16(digits, 0, 9), 0x4B37);
  unsigned char req[] = {0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x00, 0x00, 0x00, 0x0A};
  EXPECT_EQ(getCRC16(req, 6, 6), 0xCDC5);  // sent as C5 CD
  unsigned char resp[] = {0x01, 0x03, 0x02, 0x00, 0x2A};
  EXPECT_EQ(getCRC16(resp, 0, 5), 0x9B39);  // the response's 39 9B
}

TEST(Crc16, TableIsTheReflectedPolynomial) {
  for (int i = 0; i < 256; i++) {
    int c = i;
    for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    ASSERT_EQ(CrcTable[i], c) << i;
  }
  unsigned char buf[300];
  for (int i = 0; i < 300; i++) buf[i] = static_cast<unsigned char>(i * 37 + 11);
  for (int len : {1, 2, 7, 255, 300}) EXPECT_EQ(getCRC16(buf, 0, len), bitwise_crc(buf, len));
  EXPECT_EQ(getCRC16(buf, 0, 0), 0xFFFF);   // nothing covered: the initial value
  EXPECT_EQ(getCRC16(buf, 0, -3), 0xFFFF);  // a negative count covers nothing
}

}  // namespace

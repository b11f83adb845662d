// Hex and escaped text, both ways.
#include "bytes.h"

#include <gtest/gtest.h>

#include <string>

using namespace console;

namespace {

std::string hex(const std::vector<uint8_t> &b, size_t cap = 256) {
  char out[256];
  fmt_hex(b.data(), b.size(), out, cap);
  return out;
}

std::string text(const std::string &s, size_t cap = 256) {
  char out[256];
  fmt_text(reinterpret_cast<const uint8_t *>(s.data()), s.size(), out, cap);
  return out;
}

TEST(Format, HexAndTextShowEveryByte) {
  EXPECT_EQ(hex({0x01, 0x0A, 0xFF}), "01 0A FF");
  EXPECT_EQ(hex({}), "");
  EXPECT_EQ(text(std::string("!SIP;OK\r\n", 9)), "!SIP;OK\\r\\n");
  EXPECT_EQ(text(std::string("a\"b\\c\t\x00\x7f\xe9", 9)), "a\\\"b\\\\c\\t\\x00\\x7F\\xE9");
}

TEST(Format, SmallBuffersAreCutNotOverrun) {
  EXPECT_EQ(hex({0x01, 0x02, 0x03}, 6), "01 02");
  EXPECT_EQ(hex({0x01, 0x02}, 1), "");
  EXPECT_EQ(text("\r\r\r", 5), "\\r\\r");
  EXPECT_EQ(text("\x01\x02", 5), "\\x01");
}

TEST(Parse, HexTokens) {
  uint8_t out[8];
  ASSERT_EQ(parse_hex("01 02 0xFF,a0:7 DEADbe", out, sizeof out), 8);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8),
            (std::vector<uint8_t>{0x01, 0x02, 0xFF, 0xA0, 0x07, 0xDE, 0xAD, 0xBE}));
  EXPECT_EQ(parse_hex("", out, sizeof out), 0);
  EXPECT_EQ(parse_hex("012", out, sizeof out), -1);
  EXPECT_EQ(parse_hex("0g", out, sizeof out), -1);
  EXPECT_EQ(parse_hex("0x", out, sizeof out), -1);
  EXPECT_EQ(parse_hex("00 11 22 33 44 55 66 77 88", out, sizeof out), -2);
}

TEST(Parse, EscapedText) {
  uint8_t out[16];
  ASSERT_EQ(parse_escaped("A\\r\\n\\t\\0\\\\\\\"\\x7e\\xFF", out, sizeof out), 9);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(out), 9), std::string("A\r\n\t\0\\\"~\xff", 9));
  EXPECT_EQ(parse_escaped("\\q", out, sizeof out), -1);
  EXPECT_EQ(parse_escaped("\\x4", out, sizeof out), -1);
  EXPECT_EQ(parse_escaped("end\\", out, sizeof out), -1);
  EXPECT_EQ(parse_escaped("0123456789abcdefg", out, sizeof out), -2);
}

}  // namespace

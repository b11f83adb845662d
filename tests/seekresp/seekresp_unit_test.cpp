// The reply text and its field forms, and the interface queries.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "seekresp.h"

namespace {

TEST(ReplyText, ExampleOfTheBoard) {
  char out[kReplySize];
  int n = format_reply(out, sizeof out, "192:0:2:10", "255:255:255:0", "02:00:00:12:34:56");
  EXPECT_EQ(n, 83);
  EXPECT_STREQ(out, "QUARNE4410K,80,NAME=TRM-310,IP=192:0:2:10,MASK=255:255:255:0,MAC=02:00:00:12:34:56\r");
}

TEST(ReplyText, LongestAndEmptyFields) {
  char out[kReplySize];
  EXPECT_EQ(format_reply(out, sizeof out, "255:255:255:255", "255:255:255:255", "FF:FF:FF:FF:FF:FF"), 90);
  EXPECT_EQ(format_reply(out, sizeof out, "", "", "02:00:00:12:34:56"), 60);
  EXPECT_STREQ(out, "QUARNE4410K,80,NAME=TRM-310,IP=,MASK=,MAC=02:00:00:12:34:56\r");
}

TEST(ReplyText, CutToTheBuffer) {
  char out[16];
  EXPECT_EQ(format_reply(out, sizeof out, "", "", ""), 15);
  EXPECT_EQ(strlen(out), 15u);
}

TEST(FieldForms, AddressesWithColonsAndUpperCaseHex) {
  char out[kValueSize];
  const unsigned char ip[4] = {192, 0, 2, 10};
  format_ipv4(ip, out, sizeof out);
  EXPECT_STREQ(out, "192:0:2:10");
  const unsigned char mac[6] = {0x02, 0xAB, 0xcd, 0x00, 0x0E, 0xF0};
  format_mac(mac, out, sizeof out);
  EXPECT_STREQ(out, "02:AB:CD:00:0E:F0");
}

TEST(InterfaceQuery, Loopback) {
  char ip[kValueSize] = {}, hw[kValueSize] = {}, mask[kValueSize] = {};
  ASSERT_EQ(get_if_info_of("lo", ip, hw, mask), 0);
  EXPECT_STREQ(hw, "00:00:00:00:00:00");
  EXPECT_STREQ(ip, "127:0:0:1");
  EXPECT_STREQ(mask, "255:0:0:0");
}

TEST(InterfaceQuery, MissingInterfaceLeavesEveryFieldEmpty) {
  char ip[kValueSize] = {}, hw[kValueSize] = {}, mask[kValueSize] = {};
  EXPECT_EQ(get_if_info_of("trmnone0", ip, hw, mask), -1);
  EXPECT_STREQ(hw, "");
  EXPECT_STREQ(ip, "");
  EXPECT_STREQ(mask, "");
}

}  // namespace

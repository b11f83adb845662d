// Parsers of the modem's answers: the documented answers, echoes, errors,
// and bytes no modem should send.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "sandbox_dir.h"

#include "celmon.h"
#include "qycomm.h"

using namespace celmon;

namespace {

int csq(const std::string &r) { return encode_csq(r.data(), r.size()); }
int creg(const std::string &r) { return encode_creg(r.data(), r.size()); }
std::string cpin(const std::string &r) {
  char text[kCpinTextSize];
  memset(text, 'x', sizeof text);
  encode_iscpin(r.data(), r.size(), text);
  return text;
}

TEST(CsqParser, TakesRssiOfTheAnswer) {
  EXPECT_EQ(csq("\r\n+CSQ: 23,99\r\n\r\nOK\r\n"), 23);
  EXPECT_EQ(csq("\r\n+CSQ: 99,99\r\n\r\nOK\r\n"), 99);
  EXPECT_EQ(csq("\r\n+CSQ: 0,0\r\n\r\nOK\r\n"), 0);
  EXPECT_EQ(csq("AT+CSQ\r\r\n+CSQ: 7,3\r\n\r\nOK\r\n"), 7);  // echo first
  EXPECT_EQ(csq("\r\n+CSQ: 31\r\n"), 31);                   // no comma at all
}

TEST(CsqParser, MissingOrBrokenAnswerGivesMinusOne) {
  EXPECT_EQ(csq(""), -1);
  EXPECT_EQ(csq("\r\nERROR\r\n"), -1);
  EXPECT_EQ(csq("+CSQ:23,99"), -1);          // prefix needs its blank
  EXPECT_EQ(csq("\r\n+CSQ: ,99\r\n"), -1);   // no number
  EXPECT_EQ(csq("\r\n+CSQ: 99999999999,99\r\n"), -1);
  EXPECT_EQ(csq("\r\n+CSQ: "), -1);          // cut after the prefix
}

TEST(CregParser, TakesTheStatField) {
  EXPECT_EQ(creg("\r\n+CREG: 0,5\r\n\r\nOK\r\n"), 5);
  EXPECT_EQ(creg("\r\n+CREG: 2,1,\"00C3\",\"0010\"\r\n\r\nOK\r\n"), 1);
  EXPECT_EQ(creg("AT+CREG?\r\r\n+CREG: 0,2\r\n\r\nOK\r\n"), 2);
  EXPECT_EQ(creg("\r\n+CREG: 0,3"), 3);  // cut after the field
}

TEST(CregParser, MissingStatGivesMinusOne) {
  EXPECT_EQ(creg("\r\n+CREG: 1\r\n\r\nOK\r\n"), -1);
  EXPECT_EQ(creg("\r\n+CREG: 1\r\n+CSQ: 5,3\r\n"), -1);  // a comma on a later line
  EXPECT_EQ(creg("\r\n+CREG: 0,\r\n"), -1);
  EXPECT_EQ(creg(""), -1);
  EXPECT_EQ(creg("+CREG 0,1"), -1);
}

TEST(CpinParser, TakesTheStateText) {
  EXPECT_EQ(cpin("\r\n+CPIN: READY\r\n\r\nOK\r\n"), "READY");
  EXPECT_EQ(cpin("\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"), "SIM PIN");
  EXPECT_EQ(cpin("\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n"), "SIM PUK");
  EXPECT_EQ(cpin("AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n"), "READY");
}

TEST(CpinParser, ErrorAnswerGivesTheErrorText) {
  EXPECT_EQ(cpin("\r\n+CME ERROR: 10\r\n"), "10");
  EXPECT_EQ(cpin("\r\n+CME ERROR: SIM not inserted\r\n"), "SIM not inserted");
  EXPECT_EQ(cpin("\r\nERROR\r\n"), "");
}

TEST(CpinParser, NothingUsableGivesEmptyText) {
  EXPECT_EQ(cpin(""), "");
  EXPECT_EQ(cpin("\r\n+CPIN: READY"), "");            // no line end yet
  EXPECT_EQ(cpin("\r\n+CPIN: READY\r\n+CME ERROR: 3\r"), "READY");
  EXPECT_EQ(cpin("\r\n+CPIN: \r\n"), "");
}

TEST(CpinParser, TextIsBoundedAndCannotBreakTheFileLines) {
  EXPECT_EQ(cpin("\r\n+CPIN: ABCDEFGHIJKLMNOPQRSTUVWXYZ\r\n"), "ABCDEFGHIJKLMNOPQRS");
  EXPECT_EQ(cpin("\r\n+CPIN: X\nppp0=1\r\n"), "X");
  EXPECT_EQ(cpin("\r\n+CPIN: A\tB\x7f\xff\r\n"), "A?B??");
  EXPECT_EQ(cpin(std::string("\r\n+CPIN: RE\0ADY\r\n", 17)), "RE");
}

TEST(Parsers, NulBytesBeforeTheAnswerDoNotHideIt) {
  std::string noise("\0\0\x01", 3);
  EXPECT_EQ(csq(noise + "\r\n+CSQ: 12,99\r\n\r\nOK\r\n"), 12);
  EXPECT_EQ(creg(noise + "\r\n+CREG: 0,1\r\n\r\nOK\r\n"), 1);
  EXPECT_EQ(cpin(noise + "\r\n+CPIN: READY\r\n\r\nOK\r\n"), "READY");
}

// Random bytes, with the answer prefixes mixed in so the parsers get past
// their first test. The seed is printed so that a failure can be repeated.
TEST(Parsers, RandomBytesNeverCrash) {
  const uint32_t seed = testkit::fuzz_seed("random replies");
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  const char *pieces[] = {"+CSQ: ", "+CREG: ", "+CPIN: ", "ERROR: ", "\r\n", ",", "OK\r\n", "9"};
  DebugPort = 0;
  for (int round = 0; round < 3000; round++) {
    std::string r;
    size_t len = rng() % kReplySize;
    while (r.size() < len) {
      if (rng() % 4 == 0) r += pieces[rng() % 8];
      else r += static_cast<char>(rng() & 0xFF);
    }
    int v = csq(r);
    EXPECT_GE(v, -999999);
    v = creg(r);
    EXPECT_GE(v, -999999);
    std::string t = cpin(r);
    EXPECT_LT(t.size(), kCpinTextSize);
    for (char c : t) EXPECT_TRUE(c >= 0x20 && c <= 0x7E);
  }
  DebugPort = 1;
}

TEST(ResultText, AppendStopsAtTheBuffer) {
  char buf[12] = {};
  append_text(buf, sizeof buf, "csqvalue=");
  append_text(buf, sizeof buf, "23\r\n");
  EXPECT_STREQ(buf, "csqvalue=23");
  append_text(buf, sizeof buf, "more");
  EXPECT_STREQ(buf, "csqvalue=23");
}

}  // namespace

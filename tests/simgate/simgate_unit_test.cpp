// The SIM state decision and the PIN check of the SIM PIN setter.
#include <string.h>

#include <string>

#include <gtest/gtest.h>

#include "simgate.h"

using namespace simgate;

namespace {

SimState state(const std::string &r) { return sim_state(r.data(), static_cast<int>(r.size())); }

TEST(SimState, ReadyNeedsTheFinalOk) {
  EXPECT_EQ(state("\r\n+CPIN: READY\r\n\r\nOK\r\n"), SimState::kReady);
  EXPECT_EQ(state("AT+CPIN?\r\r\n+CPIN: READY\r\n\r\nOK\r\n"), SimState::kReady);
  EXPECT_EQ(state("\r\n+CPIN: READY\r\n"), SimState::kOther);
}

TEST(SimState, PinPukAndEverythingElse) {
  EXPECT_EQ(state("\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n"), SimState::kPinNeeded);
  EXPECT_EQ(state("\r\n+CPIN: SIM PIN\r\n"), SimState::kPinNeeded);
  EXPECT_EQ(state("\r\n+CPIN: SIM PUK\r\n\r\nOK\r\n"), SimState::kOther);
  EXPECT_EQ(state("\r\n+CPIN: PH-SIM PIN\r\n\r\nOK\r\n"), SimState::kOther);
  EXPECT_EQ(state("\r\n+CME ERROR: 10\r\n"), SimState::kOther);
  EXPECT_EQ(state(""), SimState::kOther);
  EXPECT_EQ(sim_state("\r\n+CPIN: READY\r\n\r\nOK\r\n", -2), SimState::kOther);  // failed read
}

TEST(SimState, OnlyTheBytesReadCount) {
  std::string r("\0\r\n+CPIN: SIM PIN\r\n\r\nOK\r\n", 26);
  EXPECT_EQ(state(r), SimState::kPinNeeded);
  EXPECT_EQ(sim_state(r.data(), 10), SimState::kOther);
}

TEST(PinCheck, ControlCharactersAndSeparatorsCannotBeSent) {
  EXPECT_TRUE(pin_is_sendable("1234"));
  EXPECT_TRUE(pin_is_sendable("12AB"));
  EXPECT_FALSE(pin_is_sendable("12\r4"));
  EXPECT_FALSE(pin_is_sendable("12\n4"));
  EXPECT_FALSE(pin_is_sendable("1;D4"));
  EXPECT_FALSE(pin_is_sendable("12\x7f" "4"));
  EXPECT_FALSE(pin_is_sendable("\x1b" "234"));
}

}  // namespace

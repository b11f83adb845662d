// The Telnet side: the stream's states, one step function each, and option
// negotiation by RFC 1143's rules (a request for a state the option is in
// gets no answer, so two sides never loop).
#include "engine.h"

namespace rfc2217 {
namespace {

enum State : uint8_t { kData, kCommand, kOption, kSubData, kSubCommand };

// The options this side takes, both ways; everything else is refused.
constexpr uint8_t kTaken[] = {kOptBinary, kOptSga, kOptComPort};
constexpr int kComPortIndex = 2;

int taken(uint8_t option) {
  for (int i = 0; i < 3; i++) {
    if (kTaken[i] == option) return i;
  }
  return -1;
}

void send_option(Io &io, uint8_t verb, uint8_t option) {
  io.client.insert(io.client.end(), {kIac, verb, option});
}

// One side of an option (RFC 1143 without its queue): a request for the
// state it is in gets no answer. True when it has just been agreed.
bool settle(Q &q, bool yes, uint8_t agree, uint8_t refuse, uint8_t option, Io &io) {
  if (yes && q != Q::kYes) {
    if (q == Q::kNo) send_option(io, agree, option);
    q = Q::kYes;
    return true;
  }
  if (!yes && q != Q::kNo) {
    if (q == Q::kYes) send_option(io, refuse, option);
    q = Q::kNo;
  }
  return false;
}

// WILL/WONT: the client will or will not use an option; DO/DONT: it asks
// this side to use one or not.
void negotiate(Engine &e, uint8_t verb, uint8_t option, Io &io) {
  const bool his = verb == kWill || verb == kWont, yes = verb == kWill || verb == kDo;
  const uint8_t agree = his ? kDo : kWill, refuse = his ? kDont : kWont;
  const int i = taken(option);
  if (i < 0) {
    if (yes) send_option(io, refuse, option);
    return;
  }
  if (settle((his ? e.him : e.us)[i], yes, agree, refuse, option, io) && his &&
      i == kComPortIndex) {
    com_port_agreed(e, io);
  }
}

void sub_byte(Engine &e, uint8_t b) {
  if (e.sb_len < kSbMax) {
    e.sb[e.sb_len++] = b;
  } else {
    e.sb_over = true;
  }
}

void step_data(Engine &e, uint8_t b, Io &io) {
  if (b == kIac) {
    e.state = kCommand;
  } else {
    io.line.push_back(b);
  }
}

// After IAC: a doubled 0xFF, a negotiation, a subnegotiation's start; any
// other command (NOP, AYT, BREAK...) is taken and ignored.
void step_command(Engine &e, uint8_t b, Io &io) {
  e.state = kData;
  if (b == kIac) {
    io.line.push_back(b);
  } else if (b >= kWill) {
    e.verb = b;
    e.state = kOption;
  } else if (b == kSb) {
    e.sb_len = 0;
    e.sb_over = false;
    e.state = kSubData;
  }
}

void step_option(Engine &e, uint8_t b, Io &io) {
  e.state = kData;
  negotiate(e, e.verb, b, io);
}

void step_sub_data(Engine &e, uint8_t b, Io &) {
  if (b == kIac) {
    e.state = kSubCommand;
  } else {
    sub_byte(e, b);
  }
}

// IAC inside a subnegotiation: a doubled 0xFF, or its end (SE). Anything
// else breaks the rules: the subnegotiation is dropped.
void step_sub_command(Engine &e, uint8_t b, Io &io) {
  if (b == kIac) {
    sub_byte(e, b);
    e.state = kSubData;
    return;
  }
  e.state = kData;
  if (b == kSe && !e.sb_over) subnegotiation(e, e.sb, e.sb_len, io);
}

using Step = void (*)(Engine &, uint8_t, Io &);
constexpr Step kSteps[] = {step_data, step_command, step_option, step_sub_data, step_sub_command};

}  // namespace

void start(Engine &e, const std::string &signature, Io &io) {
  e = Engine{};
  e.signature = signature;
  for (int i = 0; i < 3; i++) {
    e.us[i] = Q::kWantYes;
    send_option(io, kWill, kTaken[i]);
    e.him[i] = Q::kWantYes;
    send_option(io, kDo, kTaken[i]);
  }
}

void input(Engine &e, const uint8_t *p, size_t n, Io &io) {
  for (size_t i = 0; i < n; i++) kSteps[e.state](e, p[i], io);
}

void to_client(const uint8_t *p, size_t n, Io &io) {
  for (size_t i = 0; i < n; i++) {
    io.client.push_back(p[i]);
    if (p[i] == kIac) io.client.push_back(kIac);
  }
}

}  // namespace rfc2217

// The COM port side: each COM-PORT-OPTION command a row of the table (its
// least length and its handler), the answers the engine gives itself, and
// the settings and notifications the owner gives it.
#include "engine.h"

namespace rfc2217 {
namespace {

// IAC SB COM-PORT-OPTION <command> <value, 0xFF doubled> IAC SE.
void put_sub(Io &io, uint8_t command, const uint8_t *v, size_t n) {
  io.client.insert(io.client.end(), {kIac, kSb, kOptComPort, command});
  to_client(v, n, io);
  io.client.insert(io.client.end(), {kIac, kSe});
}

void put_byte(Io &io, uint8_t command, uint8_t v) { put_sub(io, command, &v, 1); }

uint32_t be32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void tell_modem(Engine &e, uint8_t deltas, Io &io) {
  e.modem_told = true;
  put_byte(io, kServer + kNotifyModemstate,
           static_cast<uint8_t>((e.modem | deltas) & e.modem_mask));
}

// Each handler gets the command's value (after the command byte).
void signature(Engine &e, const uint8_t *, size_t n, Io &io) {
  // With a text the client tells its own signature: nothing to answer.
  if (n == 0)
    put_sub(io, kServer + kSignature, reinterpret_cast<const uint8_t *>(e.signature.data()),
            e.signature.size());
}

void set_baudrate(Engine &e, const uint8_t *v, size_t, Io &) {
  e.want.baud = be32(v);
  e.asked |= kBaud;
}

void set_datasize(Engine &e, const uint8_t *v, size_t, Io &) {
  e.want.datasize = v[0];
  e.asked |= kDatasize;
}

void set_parity(Engine &e, const uint8_t *v, size_t, Io &) {
  e.want.parity = v[0];
  e.asked |= kParity;
}

void set_stopsize(Engine &e, const uint8_t *v, size_t, Io &) {
  e.want.stopsize = v[0];
  e.asked |= kStopsize;
}

void set_control(Engine &, const uint8_t *v, size_t, Io &io) {
  const uint8_t a = control_answer(v[0]);
  if (a != 0) put_byte(io, kServer + kSetControl, a);
}

// The line reports no errors of its own: its state is always none.
void poll_linestate(Engine &, const uint8_t *, size_t, Io &io) {
  put_byte(io, kServer + kNotifyLinestate, 0);
}

void poll_modemstate(Engine &e, const uint8_t *, size_t, Io &io) { tell_modem(e, 0, io); }

// The bytes' flow towards the client is TCP's: suspend and resume are taken
// and need nothing more.
void flow(Engine &, const uint8_t *, size_t, Io &) {}

void set_linestate_mask(Engine &e, const uint8_t *v, size_t, Io &io) {
  e.line_mask = v[0];
  put_byte(io, kServer + kSetLinestateMask, e.line_mask);
}

void set_modemstate_mask(Engine &e, const uint8_t *v, size_t, Io &io) {
  e.modem_mask = v[0];
  put_byte(io, kServer + kSetModemstateMask, e.modem_mask);
}

void purge_data(Engine &e, const uint8_t *v, size_t, Io &io) {
  if (v[0] < kPurgeReceive || v[0] > kPurgeBoth) return;
  e.purged |= v[0];
  put_byte(io, kServer + kPurgeData, v[0]);
}

struct Row {
  uint8_t least;  // value bytes a sound command has
  void (*run)(Engine &, const uint8_t *, size_t, Io &);
};
// Indexed by the command.
constexpr Row kCommands[] = {
    {0, signature},    {4, set_baudrate}, {1, set_datasize},       {1, set_parity},
    {1, set_stopsize}, {1, set_control},  {0, poll_linestate},     {0, poll_modemstate},
    {0, flow},         {0, flow},         {1, set_linestate_mask}, {1, set_modemstate_mask},
    {1, purge_data},
};

// SET-CONTROL: what each request gets (0: no answer). The gateway's line
// runs without flow control and cannot send a break; its DTR and RTS are
// held on (raised when the port opens, never lowered).
constexpr uint8_t kNoFlow = 1, kBreakOff = 6, kDtrOn = 8, kRtsOn = 11, kNoFlowIn = 14;
// clang-format off
constexpr uint8_t kControl[] = {
    kNoFlow, kNoFlow, kNoFlow, kNoFlow,      // 0..3: flow control (outbound/both): asked, none, XON/XOFF, hardware
    kBreakOff, kBreakOff, kBreakOff,         // 4..6: break: asked, on, off
    kDtrOn, kDtrOn, kDtrOn,                  // 7..9: DTR: asked, on, off
    kRtsOn, kRtsOn, kRtsOn,                  // 10..12: RTS: asked, on, off
    kNoFlowIn, kNoFlowIn, kNoFlowIn, kNoFlowIn,  // 13..16: inbound flow control: asked, none, XON/XOFF, hardware
    kNoFlow, kNoFlowIn, kNoFlow,             // 17..19: DCD (outbound), DTR (inbound), DSR (outbound) flow control
};
// clang-format on

}  // namespace

uint8_t control_answer(uint8_t request) {
  return request < sizeof kControl ? kControl[request] : 0;
}

void subnegotiation(Engine &e, const uint8_t *sb, size_t n, Io &io) {
  if (n < 1 || sb[0] != kOptComPort) return;
  // A client that speaks the option has agreed to it, said or not:
  // pyserial's takes this side's offer, crossing its own request, as the
  // answer to a request it then never sends.
  if (!e.com_port) com_port_agreed(e, io);
  if (n < 2 || sb[1] >= sizeof kCommands / sizeof kCommands[0]) return;
  const Row &row = kCommands[sb[1]];
  if (n - 2 < row.least) return;
  row.run(e, sb + 2, n - 2, io);
}

void com_port_agreed(Engine &e, Io &io) {
  e.com_port = true;
  if (!e.modem_told) tell_modem(e, 0, io);
}

void answer(uint8_t which, const Format &line, Io &io) {
  if (which & kBaud) {
    const uint8_t v[4] = {static_cast<uint8_t>(line.baud >> 24),
                          static_cast<uint8_t>(line.baud >> 16),
                          static_cast<uint8_t>(line.baud >> 8), static_cast<uint8_t>(line.baud)};
    put_sub(io, kServer + kSetBaudrate, v, sizeof v);
  }
  if (which & kDatasize) put_byte(io, kServer + kSetDatasize, line.datasize);
  if (which & kParity) put_byte(io, kServer + kSetParity, line.parity);
  if (which & kStopsize) put_byte(io, kServer + kSetStopsize, line.stopsize);
}

void modem_state(Engine &e, uint8_t state, Io &io) {
  const uint8_t changed = static_cast<uint8_t>(e.modem ^ state);
  e.modem = state;
  if (!e.com_port) return;
  if (!e.modem_told) return tell_modem(e, 0, io);
  // A delta bit for each line whose change the client is told of.
  const uint8_t deltas =
      static_cast<uint8_t>((changed & kCarrier ? kCarrierDelta : 0) | (changed & kDsr ? 0x02 : 0) |
                           (changed & kCts ? 0x01 : 0));
  if (((changed | deltas) & e.modem_mask) != 0) tell_modem(e, deltas, io);
}

}  // namespace rfc2217

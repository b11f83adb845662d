// RFC 2217 (the Telnet COM port control option) as the access server
// speaks it, over the caller's buffers and without a socket: the Telnet
// stream cut into the line's data bytes (IAC IAC is one 0xFF), option
// negotiation (RFC 1143's rules, so neither side loops), and the COM port
// subnegotiations.
//
// The engine answers what it can from its own state (SIGNATURE, SET-CONTROL,
// the masks, PURGE-DATA, the state polls); the line's bit rate and character
// format are the owner's: it reads which settings the client asked for
// (Engine::asked, Engine::want), carries them out, and answers with what
// the line really runs (answer()). What the owner knows of the far end
// (carrier, ...) it tells through modem_state().
#ifndef RFC2217_RFC2217_H
#define RFC2217_RFC2217_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace rfc2217 {

// Telnet (RFC 854) and the options spoken here.
constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250,
                  kSe = 240;
constexpr uint8_t kOptBinary = 0, kOptEcho = 1, kOptSga = 3, kOptComPort = 44;

// COM-PORT-OPTION commands, client to server; the server's answer is the
// command plus kServer.
enum Command : uint8_t {
  kSignature = 0,
  kSetBaudrate = 1,
  kSetDatasize = 2,
  kSetParity = 3,
  kSetStopsize = 4,
  kSetControl = 5,
  kNotifyLinestate = 6,
  kNotifyModemstate = 7,
  kFlowSuspend = 8,
  kFlowResume = 9,
  kSetLinestateMask = 10,
  kSetModemstateMask = 11,
  kPurgeData = 12,
};
constexpr uint8_t kServer = 100;

// A line's settings in RFC 2217's codes: parity 1 none, 2 odd, 3 even,
// 4 mark, 5 space; stop size 1 one, 2 two, 3 one and a half. A field 0:
// not known (in a request: the client asks what it is).
struct Format {
  uint32_t baud = 0;
  uint8_t datasize = 0, parity = 0, stopsize = 0;
};
enum Setting : uint8_t { kBaud = 1, kDatasize = 2, kParity = 4, kStopsize = 8 };

// Modem state bits (NOTIFY-MODEMSTATE).
constexpr uint8_t kCarrier = 0x80, kRing = 0x40, kDsr = 0x20, kCts = 0x10, kCarrierDelta = 0x08;
// PURGE-DATA: the access server's receive buffer, its transmit buffer, both.
constexpr uint8_t kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3;

// A subnegotiation longer than this is dropped whole (a signature is the
// longest a client sends).
constexpr size_t kSbMax = 64;

// RFC 1143's state of one side of an option.
enum class Q : uint8_t { kNo, kYes, kWantYes };

struct Engine {
  std::string signature;  // what SIGNATURE answers
  // The Telnet parser.
  uint8_t state = 0, verb = 0;
  uint8_t sb[kSbMax] = {};
  size_t sb_len = 0;
  bool sb_over = false;
  // The options this side takes: BINARY, SGA, COM-PORT-OPTION (index in
  // that order); us: this side will, him: the client will.
  Q us[3] = {}, him[3] = {};
  // Masks, and the modem state last told (without its delta bits).
  uint8_t line_mask = 0, modem_mask = 255;
  uint8_t modem = 0;
  bool modem_told = false;
  // What the client asked since the owner last took it.
  uint8_t asked = 0;      // Setting bits
  Format want;            // their values (0: what is it?)
  uint8_t purged = 0;     // PURGE-DATA bits
  bool com_port = false;  // the client has said it will speak COM-PORT-OPTION
};

// What one input() gives: the line's bytes, and bytes for the client.
struct Io {
  std::vector<uint8_t> line;
  std::vector<uint8_t> client;
};

// A new connection: the engine reset and the server's opening offers
// (binary both ways, suppress go-ahead, COM-PORT-OPTION) in io.client.
void start(Engine &e, const std::string &signature, Io &io);
// The client's bytes: data to io.line, answers to io.client, settings
// asked to e.asked / e.want, purges to e.purged.
void input(Engine &e, const uint8_t *p, size_t n, Io &io);
// The line's bytes for the client, each 0xFF doubled.
void to_client(const uint8_t *p, size_t n, Io &io);
// Answers the settings `which` (Setting bits) with what the line runs.
void answer(uint8_t which, const Format &line, Io &io);
// The far end's modem state (kCarrier, kDsr, kCts...): a notification when
// a bit the mask lets through changed, or when none was told yet and the
// client speaks COM-PORT-OPTION.
void modem_state(Engine &e, uint8_t state, Io &io);

// What SET-CONTROL answers for each request (RFC 2217's values 0..19): a
// line without flow control, break or switchable DTR and RTS (both held on).
uint8_t control_answer(uint8_t request);

}  // namespace rfc2217

#endif

// The gateway's side of the server link, as the daemon speaks it: its
// packets (init, heartbeat burst, data sections) and its answers to what the
// server sends (verify challenge, bridged Modbus requests on port 1, bytes
// for port 2, virtual COM and configuration commands). Plain bytes in and
// out; scrambling and sockets belong to the loop. Nothing here allocates.
#ifndef FLEET_GWLINK_H
#define FLEET_GWLINK_H

#include <stddef.h>
#include <stdint.h>

#include "qylink.h"

namespace fleet {

constexpr size_t kIdMax = PACKAGE_MAX_IPLEN;  // the server takes at most 15 characters
constexpr size_t kAliasMax = 8;                // the daemon's alias field
constexpr int kRegisters = 128;                // holding registers 0..127 of the slave

// What a gateway says about itself in every packet and in its init packet.
struct Identity {
  char id[kIdMax + 1];  // virtual IP text
  uint8_t id_len;
  char alias[kAliasMax + 1];
  uint8_t signal;        // signal byte of every packet
  uint8_t net;           // network interface byte of the init packet
  uint16_t heartbeat_s;  // heartbeat period, seconds
};

// The simulated Modbus RTU slave behind the bridge on port 1.
struct Slave {
  uint8_t unit;  // answers this unit id only (a real line stays silent otherwise)
  uint16_t regs[kRegisters];
};

enum class Port2Mode : uint8_t { kEcho, kRecord };

struct Behaviour {
  Port2Mode port2 = Port2Mode::kRecord;
};

// Sets the identity fields; false when id or alias is too long.
bool identity_init(Identity &who, const char *id, const char *alias, uint8_t signal,
                   uint16_t heartbeat_s);

// Register a of gateway number k before anything was written: (k * 256 + a)
// cut to 16 bits, so a reader can tell which gateway answered.
uint16_t slave_pattern(uint32_t k, int a);
void slave_init(Slave &s, uint32_t k, uint8_t unit);

// ---- packets, plain bytes into buf (PACKET_BUF_SIZE bytes); their length
size_t build_init(const Identity &who, uint8_t *buf);
size_t build_heartbeat(const Identity &who, uint8_t *buf);
// The heartbeat repeated into one burst (wire_heartbeat_copies copies).
size_t build_heartbeat_burst(const Identity &who, uint8_t *buf);
// A data packet of one section; 0 when n does not fit one packet.
size_t build_data(const Identity &who, uint16_t port, const uint8_t *data, size_t n, uint8_t *buf);
// Largest section data a data packet of this gateway carries.
size_t data_capacity(const Identity &who);

// ---- serial bursts a receiver can check
// Section data of burst number seq of a gateway on a port, len bytes in all:
// the text "#<id>/<port>/<seq>/<len>:" and then filler bytes 'a' + (seq + i)
// % 26 (i from 0). Returns len, or 0 when len is shorter than the text
// (kBurstMin is always long enough) or over cap.
constexpr size_t kBurstMin = 40;
size_t burst_payload(const char *id, uint16_t port, uint32_t seq, size_t len, uint8_t *out,
                     size_t cap);

// ---- answering a section from the server
enum class Answer : uint8_t {
  kNone,             // nothing to do (unknown port, request the slave ignores)
  kVerify,           // verify answer
  kModbus,           // Modbus response
  kModbusException,  // Modbus exception response
  kModbusIgnored,    // not for this slave's unit, or too short: no answer
  kEcho,             // port 2 bytes sent back
  kRecorded,         // port 2 bytes taken
  kCommand,          // virtual COM replies
  kConfig,           // configuration replies
};

struct Reply {
  Answer kind;
  uint16_t port;  // port of the reply section (kind with an answer)
  size_t len;     // its data length in out
  bool relink;    // "@RELINK" was among the commands
  bool reboot;    // "@REBOOT" was among the commands
};

// Answers one section; the reply section's data go to out (cap bytes, at
// least data_capacity). Registers change on Modbus writes.
Reply answer_section(const Identity &who, Slave &slave, const Behaviour &how, const WireSection &s,
                     uint8_t *out, size_t cap);

// The Modbus slave alone: unit id + request PDU in, unit id + response PDU
// out; 0 when it stays silent.
size_t slave_answer(Slave &s, const uint8_t *req, size_t n, uint8_t *out, size_t cap, bool *exception);

// The command channels alone: every CR-ended command of the section
// answered, the replies joined as the daemon drains them.
size_t command_replies(const Identity &who, uint16_t port, const uint8_t *text, size_t n,
                       uint8_t *out, size_t cap, bool *relink, bool *reboot);

}  // namespace fleet

#endif

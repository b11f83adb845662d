// SIM PIN setter: unlocks the modem's SIM with a four-character PIN when
// the modem says a PIN is needed. The exit status tells what happened.
#ifndef SIMGATE_SIMGATE_H
#define SIMGATE_SIMGATE_H

#include <stddef.h>

namespace simgate {

constexpr int kModemPort = 22;  // //dev//ttyUSB2
constexpr size_t kBufSize = 256;
constexpr int kReadMax = 200;   // one read, so the reply stays terminated
constexpr size_t kPinLength = 4;

enum ExitStatus {
  kExitOk = 0,         // usage, no PIN needed, or PIN accepted
  kExitNoModem = 1,    // port cannot be opened, or no answer at any rate
  kExitPinFailed = 2,  // PIN argument unusable, or PIN not accepted
  kExitOtherCode = 3,  // SIM needs a PUK or is in another state
};

// What the AT+CPIN? answer says.
enum class SimState { kReady, kPinNeeded, kOther };

// Send a command, wait one second, read the answer once into `reply`
// (kBufSize bytes, cleared first). Returns the read result.
int exchange(const char *command, char *reply);

// True when the first `n` bytes of `reply` contain `what`.
bool reply_has(const char *reply, int n, const char *what);

SimState sim_state(const char *reply, int n);

// Finds a rate at which the modem answers "AT" and leaves the port open
// at it; returns kExitOk, or the exit status of the failure.
int probe_modem();

// With the port open at a rate the modem answers: asks for the SIM state
// and sends the PIN `arg` when one is needed. The exit status.
int unlock(const char *arg);

// Whether a four-character argument can be put into a command line: no
// control characters, no command separator.
bool pin_is_sendable(const char *pin);

}  // namespace simgate

#endif

// Inside the engine: what the Telnet side hands to the COM port side.
#ifndef RFC2217_ENGINE_H
#define RFC2217_ENGINE_H

#include <stddef.h>
#include <stdint.h>

#include "rfc2217.h"

namespace rfc2217 {

// A whole subnegotiation (between IAC SB and IAC SE, 0xFF undoubled).
void subnegotiation(Engine &e, const uint8_t *sb, size_t n, Io &io);
// The client has agreed to speak COM-PORT-OPTION.
void com_port_agreed(Engine &e, Io &io);

}  // namespace rfc2217

#endif

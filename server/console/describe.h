// Readable lines for the packets a gateway sends (the header is already
// checked: version, length, type and IP length are sound).
#ifndef CONSOLE_DESCRIBE_H
#define CONSOLE_DESCRIBE_H

#include <stddef.h>
#include <stdint.h>

#include "receiver.h"

namespace console {

// Offset of the byte after the signal byte.
size_t prefix_len(const uint8_t *pkt);

// "ip=\"...\" signal=N" of a packet, into out.
void describe_prefix(const uint8_t *pkt, char *out, size_t cap);

void describe_init(int gw, const uint8_t *pkt, size_t len);

// Prints the sections, checks a verify answer, hands each section to the
// receiver's callback.
void describe_data(Receiver &rx, const uint8_t *pkt, size_t len);

}  // namespace console

#endif

// The daemon's scrambling calls: the link's byte substitution
// (EncodePacket / DecodePacket, qylink.h) with an optional dump of the
// bytes before and after.
#ifndef QYSC_SCRAMBLE_H
#define QYSC_SCRAMBLE_H

#include "qylink.h"

#ifdef __cplusplus
extern "C" {
#endif

void encode_func(unsigned char *data, int len, int debug);
void decode_func(unsigned char *data, int len, int debug);

#ifdef __cplusplus
}
#endif

#endif

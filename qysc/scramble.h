// Byte substitution of the server link: every byte of a packet, header
// included, goes through EncodeArray on the way out and back through its
// inverse on the way in.
#ifndef QYSC_SCRAMBLE_H
#define QYSC_SCRAMBLE_H

#ifdef __cplusplus
extern "C" {
#endif

void EncodePacket(unsigned char *cData, int iDataLen);
void DecodePacket(unsigned char *cData, int iDataLen);
// The same, with a dump of the bytes before and after when debug is non-zero.
void encode_func(unsigned char *data, int len, int debug);
void decode_func(unsigned char *data, int len, int debug);

#ifdef __cplusplus
}
#endif

#endif

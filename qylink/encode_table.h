// The server link's byte substitution table, compiled in from the table
// file chosen at build time (-DENCODE_TABLE=<file>).
#ifndef QYSC_ENCODE_TABLE_H
#define QYSC_ENCODE_TABLE_H

#ifdef __cplusplus
extern "C" {
#endif

// A permutation of 0..255: plain byte b goes on the wire as EncodeArray[b].
extern const unsigned char EncodeArray[256];

#ifdef __cplusplus
}
#endif

#endif

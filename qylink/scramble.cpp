// Byte substitution of the server link: every byte of a packet, header
// included, goes through EncodeArray on the way out and back through its
// inverse on the way in.
#include "encode_table.h"
#include "qylink.h"

namespace {

// Inverse of EncodeArray, built when the program is loaded (before main
// and before any thread): no guarded initialisation, which would pull in
// the C++ runtime library for nothing.
unsigned char g_inverse[256];

__attribute__((constructor)) void build_inverse() {
  for (int j = 0; j < 256; j++) g_inverse[EncodeArray[j]] = static_cast<unsigned char>(j);
}

}  // namespace

extern "C" {

void EncodePacket(unsigned char *cData, int iDataLen) {
  for (int i = 0; i < iDataLen; i++) cData[i] = EncodeArray[cData[i]];
}

void DecodePacket(unsigned char *cData, int iDataLen) {
  for (int i = 0; i < iDataLen; i++) cData[i] = g_inverse[cData[i]];
}

}  // extern "C"

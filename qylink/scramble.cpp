// Byte substitution of the server link: every byte of a packet, header
// included, goes through EncodeArray on the way out and back through its
// inverse on the way in.
#include <array>

#include "encode_table.h"
#include "qylink.h"

namespace {

// Inverse of EncodeArray, built once on first use.
const std::array<unsigned char, 256> &decode_table() {
  static const std::array<unsigned char, 256> table = [] {
    std::array<unsigned char, 256> t{};
    for (int j = 0; j < 256; j++) t[EncodeArray[j]] = static_cast<unsigned char>(j);
    return t;
  }();
  return table;
}

}  // namespace

extern "C" {

void EncodePacket(unsigned char *cData, int iDataLen) {
  for (int i = 0; i < iDataLen; i++) cData[i] = EncodeArray[cData[i]];
}

void DecodePacket(unsigned char *cData, int iDataLen) {
  const std::array<unsigned char, 256> &inv = decode_table();
  for (int i = 0; i < iDataLen; i++) cData[i] = inv[cData[i]];
}

}  // extern "C"

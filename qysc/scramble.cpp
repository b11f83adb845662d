// Byte substitution of the server link, with the optional debug dumps.
#include "scramble.h"

#include <array>

#include "encode_table.h"
#include "qycomm.h"

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

void dump(const unsigned char *data, int len) {
  for (int i = 0; i < len; i++) {
    if (i % 10 == 0) {
      PrintMsg("\r\n[%4d] %2X ", i, data[i]);
    } else {
      PrintMsg("%2X ", data[i]);
    }
  }
  PrintMsg("\r\n");
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

void encode_func(unsigned char *data, int len, int debug) {
  if (debug) {
    PrintMsg("-- before encoding --\r\n");
    dump(data, len);
  }
  EncodePacket(data, len);
  if (debug) {
    PrintMsg("-- after encoding --\r\n");
    dump(data, len);
    PrintMsg("\r\n=====================\r\n");
  }
}

void decode_func(unsigned char *data, int len, int debug) {
  if (debug) {
    PrintMsg("-- before decoding --\r\n");
    dump(data, len);
  }
  DecodePacket(data, len);
  if (debug) {
    PrintMsg("-- after decoding --\r\n");
    dump(data, len);
    PrintMsg("\r\n=====================\r\n");
  }
}

}  // extern "C"

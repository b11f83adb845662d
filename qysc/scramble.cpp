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

// The dumps around one direction of the substitution, when asked for.
void scramble_with_dump(unsigned char *data, int len, int debug, const char *what,
                        void (*step)(unsigned char *, int)) {
  if (debug) {
    PrintMsg("-- before %s --\r\n", what);
    dump(data, len);
  }
  step(data, len);
  if (debug) {
    PrintMsg("-- after %s --\r\n", what);
    dump(data, len);
    PrintMsg("\r\n=====================\r\n");
  }
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
  scramble_with_dump(data, len, debug, "encoding", EncodePacket);
}

void decode_func(unsigned char *data, int len, int debug) {
  scramble_with_dump(data, len, debug, "decoding", DecodePacket);
}

}  // extern "C"

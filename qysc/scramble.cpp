// The daemon's scrambling calls, with the debug dumps of the bytes.
#include "scramble.h"

#include "qycomm.h"

namespace {

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

void encode_func(unsigned char *data, int len, int debug) {
  scramble_with_dump(data, len, debug, "encoding", EncodePacket);
}

void decode_func(unsigned char *data, int len, int debug) {
  scramble_with_dump(data, len, debug, "decoding", DecodePacket);
}

}  // extern "C"

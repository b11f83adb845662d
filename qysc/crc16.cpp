// PLACEHOLDER until the Modbus bridge lands.
#include "crc16.h"

const int CrcTable[256] = {};

extern "C" int getCRC16(unsigned char *, int, int) { return 0; }

// CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF, no final XOR).
#ifndef QYSC_CRC16_H
#define QYSC_CRC16_H

#ifdef __cplusplus
extern "C" {
#endif

extern const int CrcTable[256];

// CRC of the len bytes starting at data[index]; 0..0xFFFF.
int getCRC16(unsigned char *data, int index, int len);

#ifdef __cplusplus
}
#endif

#endif

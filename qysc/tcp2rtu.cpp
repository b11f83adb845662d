// PLACEHOLDER until the Modbus bridge lands: bridged sections are refused,
// bridged responses dropped.
#include "tcp2rtu.h"

#include "settings.h"
#include "type.h"

unsigned char tcp2rtuHeaderBuffer1[6];
unsigned char tcp2rtuHeaderBuffer2[6];

extern "C" {

int TCP2RTU_Request(int, const unsigned char *, int) { return -1; }

int RTU2TCP_Response(int slot, unsigned char *out, int n) {
  UART_Recv(baseInfo.comInfo[slot == 2 ? 2 : 1].port, reinterpret_cast<char *>(out), n);
  return -1;
}

}  // extern "C"

// The daemon's UART wrappers over the COM port API, and the reopen of a
// configured port.
#include "my_uart.h"

#include "daemon.h"
#include "linehold.h"
#include "settings.h"
#include "uart.h"

extern "C" {

int UART_Init(unsigned char cPort, DWORD dwBaudrate, char cData, char cParity, char cStop) {
  return Open_Com(cPort, static_cast<int>(dwBaudrate), cData, cParity, cStop);
}

// The bytes held are the port's: a close drops them with its own queue.
int UART_Close(unsigned char cPort) {
  hold_clear(cPort);
  return Close_Com(cPort);
}

int UART_Send(unsigned char cPort, unsigned char *SendData, int iLen) {
  return Send_Binary(cPort, reinterpret_cast<char *>(SendData), iLen);
}

// The bytes held while the link was busy come first, then the port's.
int UART_Recv(unsigned char cPort, char *RecvData, int iLen) {
  const int held = iLen > 0 ? hold_take(cPort, RecvData, iLen) : 0;
  if (held == iLen && held > 0) return held;
  const int rc = Receive_Binary(cPort, RecvData + held, iLen - held);
  if (held == 0) return rc;
  return rc > 0 ? held + rc : held;
}

// Bytes waiting, held ones included; a port that is not open (negative
// code) has none of its own, so the main loop never takes an error code
// for a burst length.
int UART_DataSizeInCom(unsigned char cPort) {
  const int n = static_cast<int>(DataSizeInCom(cPort));
  return hold_count(cPort) + (n > 0 ? n : 0);
}

void UART_RxClear(unsigned char cPort) {
  hold_clear(cPort);
  qyc_Flush(cPort, 1);
}

void UART_TxClear(unsigned char cPort) { qyc_Flush(cPort, 0); }

char UART_GetChar(unsigned char cPort) {
  char c = 0;
  qyc_Read(cPort, &c, 1);
  return c;
}

int ReOpenCom(int n) {
  if (n < 1 || n > 2) return REOPEN_NO_SLOT;
  const COM_INFO &com = baseInfo.comInfo[n];
  UART_Close(com.port);
  PrintMsg("    reopen: baseInfo.comInfo[%d]=port %d, br=%d, d=%d, p=%d, s=%d\r\n", n, com.port,
           static_cast<int>(com.baud), com.databit, com.parity, com.stopbit);
  const int rc = UART_Init(com.port, com.baud, static_cast<char>(com.databit),
                           static_cast<char>(com.parity), static_cast<char>(com.stopbit));
  watch_line(n);
  return rc;
}

}  // extern "C"

// The daemon's UART wrappers over the COM port API (slot 1 of the settings
// is the RS-485 line, slot 2 the RS-232 line).
#ifndef QYSC_MY_UART_H
#define QYSC_MY_UART_H

#include "type.h"

#ifdef __cplusplus
extern "C" {
#endif

int UART_Init(unsigned char cPort, DWORD dwBaudrate, char cData, char cParity, char cStop);
int UART_Close(unsigned char cPort);
int UART_Send(unsigned char cPort, unsigned char *SendData, int iLen);
int UART_Recv(unsigned char cPort, char *RecvData, int iLen);
// Bytes waiting in the port's input queue; 0 for a port that is not open.
int UART_DataSizeInCom(unsigned char cPort);
void UART_RxClear(unsigned char cPort);
// Part of the interface without a caller in the daemon: discard output not
// yet sent; one byte read (0 when none).
void UART_TxClear(unsigned char cPort);
char UART_GetChar(unsigned char cPort);

// Closes the port of baseInfo.comInfo[n] and opens it again with the
// slot's settings; the result of UART_Init (COM_OK on success), or
// REOPEN_NO_SLOT for a slot other than 1 and 2.
#define REOPEN_NO_SLOT (-1)
int ReOpenCom(int n);

#ifdef __cplusplus
}
#endif

#endif

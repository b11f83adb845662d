// Integer type names of the daemon and its UART wrappers over the COM port
// API. The RS-485 line is settings slot 1, the RS-232 line slot 2.
#ifndef QYSC_TYPE_H
#define QYSC_TYPE_H

#include "qycomm.h"  // DWORD, WORD, BOOL
#include "uart.h"

#ifdef __cplusplus
extern "C" {
#endif

int UART_Init(unsigned char cPort, DWORD dwBaudrate, char cData, char cParity, char cStop);
int UART_Close(unsigned char cPort);
int UART_Send(unsigned char cPort, unsigned char *SendData, int iLen);
int UART_Recv(unsigned char cPort, char *RecvData, int iLen);
int UART_DataSizeInCom(unsigned char cPort);
void UART_RxClear(unsigned char cPort);
void UART_TxClear(unsigned char cPort);
char UART_GetChar(unsigned char cPort);

#ifdef __cplusplus
}
#endif

#endif

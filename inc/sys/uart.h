// COM port API: opens ports by bit rate and character format, remembers
// which ports it opened, and sends binary data, commands and formatted text.
#ifndef QUARNE_SYS_UART_H
#define QUARNE_SYS_UART_H

#include "qycomm.h"

// Result codes of the COM port API (driver codes pass through unchanged).
#define COM_OK 0
#define COM_ERR_OPEN 2        // the device could not be opened
#define COM_ERR_NOT_OPEN 8    // the port is not open in hComUse
#define COM_ERR_WRITE 10      // the write failed or was incomplete
#define COM_ERR_IN_USE 25     // the port is already open

#define COM_CMD_BUF 1024      // per-port command line buffer of Send_Cmd
#define COM_PRINT_BUF 512     // formatting buffer of PrintToCom

typedef struct __PORTDATA {
  int iPort;
  int iBaud;      // baud index 0..19
  int iDataBit;   // data bits minus 5
  int iParity;    // parity number 0..4
  int iStopBit;   // stop-bit number 0..2
  BOOL bRtsDtr;
  BOOL bXonXoff;
  BOOL bDTR;
  BOOL bRTS;
} PORTDATA;

#ifdef __cplusplus
extern "C" {
#endif

extern int hComUse[256];
extern char gszBuf[256][COM_CMD_BUF];
extern PORTDATA PortData;
extern const unsigned char DataByteArray[4];
extern const unsigned char ParityArray[5];
extern const unsigned char StopBitsArray[3];

WORD Get_Uart_Version(void);
int Open_Com(unsigned char cPort, int dwBaudrate, char cData, char cParity, char cStop);
int Close_Com(unsigned char cPort);
int Send_Binary(unsigned char cPort, char *szCmd, int iLen);
WORD Send_Cmd(unsigned char cPort, char *szCmd, WORD wChksum);
// The command line inbuf, its checksum digits when ccheck is non-zero, and
// iEndLen bytes of endbuf, terminated, into outbuf (COM_CMD_BUF bytes: a
// longer line is cut); its length.
int add_chksum(char ccheck, char *inbuf, char *outbuf, char *endbuf, int iEndLen);
int PrintToCom(int cPort, const char *format, ...) __attribute__((format(printf, 2, 3)));
int Receive_Binary(unsigned char cPort, char *szResult, int wLen);
DWORD DataSizeInCom(int port);

// Baud index of Baud_Table for a rate in bits per second; 16 (115200) for
// a rate the table does not know.
int BaudIndex(int dwBaudrate);

#ifdef __cplusplus
}
#endif

#endif

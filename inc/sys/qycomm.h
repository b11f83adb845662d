// Serial driver layer: port numbers to tty devices, termios line settings,
// non-blocking read/write/flush/queue length, and the debug print PrintMsg.
#ifndef QUARNE_SYS_QYCOMM_H
#define QUARNE_SYS_QYCOMM_H

#include <pthread.h>
#include <termios.h>
#include <stdint.h>

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int BOOL;
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

#define QYC_MAX_PORTS 32

// Result codes of the driver layer.
#define QYC_OK 0
#define QYC_ERR_PORT (-1)      // port number above 31 (compared unsigned)
#define QYC_ERR_SYSCALL (-2)   // tcgetattr/tcsetattr, read, close or FIONREAD failed
#define QYC_ERR_NO_FD (-3)     // never opened, closed, or the device failed to open
#define QYC_ERR_RANGE (-4)     // baud index, mode or flush function out of range
#define QYC_ERR_SHORT (-6)     // a write transferred fewer bytes than asked

typedef struct __COMPORT_DATA {
  int hFile;                 // descriptor, or negative when the port has none
  struct termios comio;      // attributes last written to the device
  DWORD ReadTotalTimeout;    // reserved
  DWORD WriteTotalTimeout;   // reserved
  DWORD ReadIntervalTimeout; // reserved
  DWORD count;               // write calls that wrote every byte
  DWORD count1;              // reserved
  DWORD DtrRtsCtrl;          // reserved
  pthread_mutex_t g_criticalsection;
  DWORD g_data;              // reserved
} COMPORT_DATA;

#ifdef __cplusplus
extern "C" {
#endif

extern COMPORT_DATA ComPortData[QYC_MAX_PORTS];
extern const DWORD Baud_Table[20];
extern int DebugPort;

int qyc_Open(int port);
int qyc_ConfigPort(int port, int baud, int mode);
int qyc_Close(int port);
int qyc_Read(int port, char *buf, int len);
char qyc_Getch(int port);
int qyc_Write(int port, char *buf, int len);
int qyc_Putch(int port, char term);
int qyc_Flush(int port, int func);
long qyc_InpQueueLen(int port);

// printf-style print to standard output through a 512-byte buffer; longer
// text is cut to 511 characters. Returns the length printed (0 when
// DebugPort is not 1).
int PrintMsg(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Every print goes out at once (flushed), unless held: between PrintHold
// and PrintRelease the prints are kept, in order, and go out in one write
// at the release (or when 1 KB is held). For a short stretch of a program
// that prints several lines and cannot block meanwhile.
void PrintHold(void);
void PrintRelease(void);

#ifdef __cplusplus
}
#endif

#endif

// The settings record, the configuration file and the modem information file.
#ifndef QYSC_SETTINGS_H
#define QYSC_SETTINGS_H

#include <stdint.h>

typedef struct __attribute__((packed)) __COM_INFO {
  uint8_t port;      // serial port number (2.2 numbering)
  uint32_t baud;     // bits per second
  uint8_t databit;   // 5..8
  uint8_t parity;    // 0 none, 1 odd, 2 even
  uint8_t stopbit;   // 0 one stop bit; 1 and 2 two
} COM_INFO;

typedef struct __attribute__((packed)) __BASE_INFO {
  char ucServerIP[32];
  uint16_t usServerPort;
  uint16_t usHeartbeatTime;     // seconds
  uint16_t usServerTimeDelay;
  COM_INFO comInfo[3];          // 1 = RS-485, 2 = RS-232; 0 unused
  uint32_t UartTimeInterval[3]; // idle gap that ends a burst, ms
  uint32_t UartDataMax[3];      // largest burst per packet
  uint32_t EnableEndChar[3];    // reserved
  uint8_t EndChar[3];           // reserved
  char ucVirtualIP[32];
  char ucModuleAlias[8];
  uint8_t isTCP2RTU1;
  uint8_t isTCP2RTU2;
  uint16_t usDebug;
} BASE_INFO;

#ifdef __cplusplus
extern "C" {
#endif

extern BASE_INFO baseInfo;
extern char cModuleName[8];   // "TRM-310"
extern char cFWVersion[6];    // "V1.01"
extern char cFWDate[11];      // "2014/01/29"
#define CONFIG_PATH_MAX 4096
extern char configFile[CONFIG_PATH_MAX];  // "/quarne/qysc/qyserver.ini" or the argument, held whole
extern char resultFile[22];   // "/quarne/modemInfo.txt"
extern uint8_t modemSignal;   // 0..100
extern uint8_t modemCREG;     // 0..5
extern uint8_t netInterface;  // 0 while ppp0 is up, else 1

#define SETTINGS_OK 0
#define SETTINGS_FAILED (-1)  // the file could not be opened (read) or replaced (save)

void Default_BaseInfo(void);
int ReadConfig(void);
int SaveConfig(void);  // the old file stays whole when it fails
int ReadModemInfo(void);

// Stop-bit setting of a stop-bit digit, as the configuration file and the
// virtual COM commands give it: '1' one stop bit (0), '2' two (2), any
// other character the default (1).
uint8_t stopbit_code(char digit);

// Replaces configFile with a command-line path; 0 when it is longer than
// the buffer holds (configFile then stays as it was), else 1.
int SetConfigFile(const char *path);

// Unsigned base-10 conversion as the board's C library does it with 32-bit
// longs: leading blanks skipped, an optional sign (a minus negates modulo
// 2^32), digits up to the first other character, no digits give 0, a value
// past 4294967295 gives 4294967295.
uint32_t StrToU32(const char *text);

#ifdef __cplusplus
}
#endif

#endif

// COM port API: rates and character formats in everyday terms on top of the
// driver layer, with the record of which ports this layer opened.
#include "uart.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

int hComUse[256];
char gszBuf[256][COM_CMD_BUF];
PORTDATA PortData;

const unsigned char DataByteArray[4] = {0x00, 0x01, 0x02, 0x03};
const unsigned char ParityArray[5] = {0x00, 0x08, 0x18, 0x28, 0x38};
const unsigned char StopBitsArray[3] = {0x00, 0x04, 0x04};

namespace {

struct RateIndex {
  int rate;
  int index;
};

constexpr RateIndex kRates[] = {
    {50, 0},    {75, 1},    {110, 2},    {134, 3},     {150, 4},     {300, 5},
    {600, 6},   {1200, 7},  {1800, 8},   {2400, 9},    {4800, 10},   {7200, 11},
    {9600, 12}, {19200, 13}, {38400, 14}, {57600, 15}, {230400, 17}, {460800, 18},
    {921600, 19},
};
constexpr int kDefaultIndex = 16;  // 115200, also for any rate not listed

int map_open_code(int rc) { return rc == QYC_ERR_NO_FD ? COM_ERR_OPEN : rc; }

}  // namespace

extern "C" {

int BaudIndex(int dwBaudrate) {
  for (const RateIndex &r : kRates) {
    if (r.rate == dwBaudrate) return r.index;
  }
  return kDefaultIndex;
}

WORD Get_Uart_Version(void) { return 0x0100; }

int Open_Com(unsigned char cPort, int dwBaudrate, char cData, char cParity, char cStop) {
  if (hComUse[cPort] == 1) return COM_ERR_IN_USE;
  // Settings outside the mode tables have no meaning: refuse them before
  // anything is opened.
  const unsigned char data = static_cast<unsigned char>(cData);
  const unsigned char parity = static_cast<unsigned char>(cParity);
  const unsigned char stop = static_cast<unsigned char>(cStop);
  if (data < 5 || data > 8 || parity > 4 || stop > 2) return QYC_ERR_RANGE;
  PortData.iPort = cPort;
  PortData.iDataBit = data - 5;
  PortData.iParity = parity;
  PortData.iStopBit = stop;
  PortData.bRtsDtr = FALSE;
  PortData.bXonXoff = FALSE;
  PortData.iBaud = BaudIndex(dwBaudrate);

  int rc = qyc_Open(cPort);
  if (rc != QYC_OK) return map_open_code(rc);
  int mode = DataByteArray[PortData.iDataBit] | ParityArray[PortData.iParity] |
             StopBitsArray[PortData.iStopBit];
  rc = qyc_ConfigPort(cPort, PortData.iBaud, mode);
  hComUse[cPort] = 1;  // open even when configuring failed: Close_Com before reopening
  return map_open_code(rc);
}

int Close_Com(unsigned char cPort) {
  if (hComUse[cPort] == 1) {
    qyc_Close(cPort);
    hComUse[cPort] = 0;
  }
  return COM_OK;
}

int Send_Binary(unsigned char cPort, char *szCmd, int iLen) {
  if (hComUse[cPort] == 0) return COM_ERR_NOT_OPEN;
  return qyc_Write(cPort, szCmd, iLen) < 0 ? COM_ERR_WRITE : COM_OK;
}

int add_chksum(char ccheck, char *inbuf, char *outbuf, char *endbuf, int iEndLen) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  // outbuf is a command line buffer of COM_CMD_BUF bytes: nothing is
  // written past it, whatever the lengths of the pieces.
  constexpr int kLast = COM_CMD_BUF - 1;  // room for the terminator
  int n = 0;
  unsigned char sum = 0;
  for (; n < kLast && inbuf[n] != '\0'; n++) {
    outbuf[n] = inbuf[n];
    sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(inbuf[n]));
  }
  if (ccheck != 0) {
    if (n < kLast) outbuf[n++] = kHex[sum >> 4];
    if (n < kLast) outbuf[n++] = kHex[sum & 0x0F];
  }
  for (int i = 0; i < iEndLen && n < kLast; i++) outbuf[n++] = endbuf[i];
  outbuf[n] = '\0';
  return n;
}

WORD Send_Cmd(unsigned char cPort, char *szCmd, WORD wChksum) {
  if (hComUse[cPort] == 0) return COM_ERR_NOT_OPEN;
  char *space = strchr(szCmd, ' ');
  if (space != nullptr) *space = '\0';
  // The command, its checksum digits, CR and NUL must fit the line buffer;
  // a longer command is refused as a failed write rather than overrunning it.
  const char check = static_cast<char>(wChksum & 0xFF);
  if (strlen(szCmd) + (check != 0 ? 2 : 0) + 2 > COM_CMD_BUF) return COM_ERR_WRITE;
  char cr = '\r';
  int n = add_chksum(check, szCmd, gszBuf[cPort], &cr, 1);
  return qyc_Write(cPort, gszBuf[cPort], static_cast<WORD>(n)) < 0 ? COM_ERR_WRITE : COM_OK;
}

int PrintToCom(int cPort, const char *format, ...) {
  if (static_cast<unsigned>(cPort) > 255 || hComUse[cPort] == 0) return -1;
  char buf[COM_PRINT_BUF];
  memset(buf, 0, sizeof buf);
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);  // longer output is cut to 511 characters
  va_end(ap);
  int len = static_cast<int>(strlen(buf));
  Send_Binary(static_cast<unsigned char>(cPort), buf, len);
  return len;
}

int Receive_Binary(unsigned char cPort, char *szResult, int wLen) {
  return qyc_Read(cPort, szResult, wLen);
}

DWORD DataSizeInCom(int port) { return static_cast<DWORD>(qyc_InpQueueLen(port)); }

}  // extern "C"

// The daemon's main loop: link and upload state machines, the serial
// bursts, receive dispatch, and the helpers other modules call.
#ifndef QYSC_DAEMON_H
#define QYSC_DAEMON_H

#include <stdint.h>

// Link state iGPRSStep.
#define GPRS_IDLE 0
#define GPRS_CONNECT 1
#define GPRS_ONLINE 2
#define GPRS_WAIT 3

// Upload state iUploadPackageFlag.
#define UPLOAD_INIT 0
#define UPLOAD_NORMAL 1
#define UPLOAD_HEARTBEAT 2
#define UPLOAD_VERIFY 3

#define WriteCounterMax 3

#ifdef __cplusplus
extern "C" {
#endif

extern int iGPRSStep;
extern int iUploadPackageFlag;
extern int iCOMStep;
extern uint32_t ulHeartbeatOldTime;
extern uint32_t ulGPRSReconWaitTime;
extern int iRS485Len, iRS232Len, iRS485LenNow, iRS232LenNow;
extern uint32_t ulRS485LastTime, ulRS232LastTime;
extern int32_t lVerifyData;

uint32_t GetTimeTicks(void);
void setStaLed(int sta);
// Closes the port of baseInfo.comInfo[n] and opens it again with the
// slot's settings; the result of UART_Init (0 on success).
int ReOpenCom(int n);
int checkWriteStaus(int rc, int sockfd);

// Services the watchdog unless a reboot was requested; every long wait
// calls it between its slices.
void ServiceWatchdog(void);

// Start-up up to the loop: returns 0 when the daemon is to exit with 0
// ("--ver"), else 1. One pass of the endless loop.
int DaemonStart(int argc, char **argv);
void DaemonPass(void);

// Packetising rule for slot 1 (RS-485) or 2 (RS-232), after the pass has
// stored the queue length in iRS485LenNow / iRS232LenNow: non-zero when the
// burst is due, with iRS485Len / iRS232Len the bytes to take.
int BurstDue(int slot, uint32_t now);

// A packet of n bytes as one read delivered it (still scrambled): logged,
// unscrambled in place, checked whole, then its sections dispatched.
void HandleServerPacket(unsigned char *buf, int n);

#ifdef __cplusplus
}
#endif

#endif

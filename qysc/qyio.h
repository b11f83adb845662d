// Device configuration command channel (section port 257).
#ifndef QYSC_QYIO_H
#define QYSC_QYIO_H

#include "qycom.h"

#ifdef __cplusplus
extern "C" {
#endif

extern Job4Cmd VIO_Reply;
extern int isVIORelink;  // "@RELINK": drop and rebuild the link once the replies are out
extern int isVIOReboot;  // "@REBOOT": stop servicing the watchdog for good

void VIO_Process(unsigned char *CmdData, int dataLen);
int QYIO_IsCom(void);

#ifdef __cplusplus
}
#endif

#endif

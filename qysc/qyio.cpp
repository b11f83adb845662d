// PLACEHOLDER until the configuration channel lands: replies nothing.
#include "qyio.h"

Job4Cmd VIO_Reply;
int isVIORelink = 0;
int isVIOReboot = 0;

extern "C" {

void VIO_Process(unsigned char *, int) {}

int QYIO_IsCom(void) { return Job4Cmd_Pending(&VIO_Reply); }

}  // extern "C"
